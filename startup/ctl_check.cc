// `merovane ctl check` and the pass line of `ctl status`: the program's
// check_progress command asked and printed.
#include "startup/ctl_check.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "startup/ctl_client.h"

using namespace ctl;

namespace {

// The check pass as the program reports it; `front`: "all", "new" or "".
struct pass_report {
  long active, passes, done, working, remaining, running, elapsed, eta, sites, proxies, usable,
      links, due;
  char mode[16];
  char line[200];
};

int recheck(uint32_t ip, uint32_t port) {
  text body, value;
  char ip_text[16], port_text[8];
  std::snprintf(ip_text, sizeof ip_text, "%u", ip);
  std::snprintf(port_text, sizeof port_text, "%u", port);
  if (!add_param(body, "type", "recheck_proxy") || !add_param(body, "ip", ip_text) ||
      !add_param(body, "port", port_text))
    return refused("out of memory");
  return command(body, "ping", value) ? CTL_DONE : CTL_NO_INSTANCE;
}

bool ask_progress(const char* front, pass_report& r) {
  text body, value;
  if (!add_param(body, "type", "check_progress")) return false;
  if (front[0] != 0 && !add_param(body, "front", front)) return false;
  if (!command(body, "check_progress", value)) return false;
  const char* v = value.c_str();
  r = pass_report{};
  static constexpr struct {
    const char* name;
    long pass_report::*field;
  } numbers[] = {{"active", &pass_report::active},
                 {"passes", &pass_report::passes},
                 {"done", &pass_report::done},
                 {"working", &pass_report::working},
                 {"remaining", &pass_report::remaining},
                 {"running", &pass_report::running},
                 {"elapsed", &pass_report::elapsed},
                 {"eta", &pass_report::eta},
                 {"sites", &pass_report::sites},
                 {"proxies", &pass_report::proxies},
                 {"usable", &pass_report::usable},
                 {"links", &pass_report::links},
                 {"due", &pass_report::due}};
  for (const auto& n : numbers) r.*(n.field) = member_number(v, n.name);
  settings_member(v, "mode", r.mode, sizeof r.mode);
  settings_member(v, "line", r.line, sizeof r.line);
  return true;
}

// What a first run still lacks, and the command that gives it.
void print_first_steps(const pass_report& r) {
  if (r.proxies == 0)
    std::printf("No proxies yet: add a list with \"merovane ctl import FILE\".\n");
  else if (r.usable == 0 && r.active == 0)
    std::printf("No working proxy yet: \"merovane ctl check\" checks them all now.\n");
  if (r.links == 0) std::printf("No chain set: set one with \"merovane ctl chain pick:random\".\n");
  if (std::strcmp(r.mode, "reach") == 0)
    std::printf("Checks: reachability only; set a checker service to grade anonymity.\n");
  else if (std::strcmp(r.mode, "wait") == 0)
    std::printf("Checks: waiting for the checker service to answer.\n");
}

void print_progress(const pass_report& r, bool terminal) {
  if (!terminal) {
    std::printf("%s\n", r.line);
    std::fflush(stdout);
    return;
  }
  const long total = r.done + r.remaining;
  const int width = 30;
  const int filled = total > 0 ? static_cast<int>(r.done * width / total) : 0;
  char bar[width + 1];
  for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
  bar[width] = 0;
  std::printf("\r[%s] %s\033[K", bar, r.line);
  std::fflush(stdout);
}

// Puts the proxies in front (all of them, or the new ones) and follows the
// pass to its end.
int check_pass(bool all) {
  pass_report r{};
  if (!ask_progress(all ? "all" : "new", r)) return no_instance();
  if (r.due == 0 && r.active == 0) {
    std::printf("nothing to check\n");
    return CTL_DONE;
  }
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  // A pass that began (and may have ended) since the proxies were put in front.
  const long passes_before = r.active != 0 ? r.passes - 1 : r.passes;
  bool seen = r.active != 0;
  uint32_t last_line = tick_now();
  for (int waited = 0;; ++waited) {
    if (seen && r.active == 0) break;
    const bool no_sites = std::strcmp(r.mode, "reach") == 0 && r.sites == 0;
    if (!seen && (waited >= 20 || (no_sites && waited >= 6))) {
      std::printf("checks have not started: %s\n",
                  no_sites ? "no check site has an address (setting \"check_sites\")"
                  : std::strcmp(r.mode, "wait") == 0 ? "waiting for the checker service"
                                                     : "no proxy is due");
      return CTL_REFUSED;
    }
    if (terminal || tick_now() - last_line >= 5000u) {
      if (r.active != 0) print_progress(r, terminal);
      last_line = tick_now();
    }
    usleep(terminal ? 250000 : 500000);
    if (!ask_progress("", r)) return no_instance();
    seen = seen || r.active != 0 || r.passes > passes_before;
  }
  if (terminal) std::printf("\n");
  std::printf("%ld checked: %ld working, %ld not working\n", r.done, r.working, r.done - r.working);
  return CTL_DONE;
}

}  // namespace

int ctl_check(int argc, char** argv) {
  if (argc >= 1 && argv[0][0] != '-') {
    uint32_t ip = 0, port = 0;
    if (!address_port(argv[0], &ip, &port)) return refused("check takes address:port");
    int rc = recheck(ip, port);
    if (rc == CTL_NO_INSTANCE) return no_instance();
    std::printf("%s queued for a check\n", argv[0]);
    return rc;
  }
  return check_pass(!(argc >= 1 && std::strcmp(argv[0], "--new") == 0));
}

void ctl_print_pass() {
  pass_report pass{};
  if (!ask_progress("", pass)) return;
  std::printf("%s\n", pass.line);
  print_first_steps(pass);
}
