// `merovane ctl rules`: the destination rules of the instance shown with
// their line numbers, replaced by a file or standard input, one line added
// at the end or one line deleted. Every change goes through the panel's
// settings command, which refuses a list with a bad line and says which.
#include "startup/ctl_rules.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "startup/ctl_client.h"
#include "util/rules.h"

using namespace ctl;

namespace {

// The stored list as the settings object writes it, its escapes undone.
bool stored_rules(text& out) {
  text body, value;
  if (!add_param(body, "type", "settings")) return false;
  if (!command(body, "settings", value)) return false;
  static char raw[RULES_TEXT_MAX * 4 + 16];
  raw[0] = 0;
  settings_member(value.c_str(), "rules", raw, sizeof raw);
  for (const char* p = raw; *p; ++p) {
    char c = *p;
    if (c == '\\' && p[1] != 0) {
      ++p;
      c = *p == 'n' ? '\n' : *p == 't' ? '\t' : *p;
      if (*p == 'x' && p[1] != 0 && p[2] != 0) {
        char hex[3] = {p[1], p[2], 0};
        c = static_cast<char>(std::strtol(hex, nullptr, 16));
        p += 2;
      }
    }
    if (!out.add(&c, 1)) return false;
  }
  return true;
}

// Stores the list; the panel's refusal (line and why) goes to standard error.
int store_rules(const text& list) {
  text body, value;
  if (!add_param(body, "type", "save_settings") || !add_param(body, "rules", list.c_str()))
    return refused("out of memory");
  if (!command(body, "settings", value)) return no_instance();
  char why[200];
  if (settings_member(value.c_str(), "rules_refused", why, sizeof why)) return refused(why);
  return CTL_DONE;
}

// Calls each(number, line) for every line of the list (numbered from 1, as
// a refusal names them).
template <class F>
void each_line(const text& list, F each) {
  const char* p = list.c_str();
  for (unsigned number = 1; *p != 0; ++number) {
    const char* end = std::strchr(p, '\n');
    const size_t n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
    each(number, p, n);
    p += n + (end != nullptr ? 1 : 0);
  }
}

int show() {
  text list;
  if (!stored_rules(list)) return no_instance();
  if (list.len == 0) {
    std::printf("no rules: every destination goes through the chain\n");
    return CTL_DONE;
  }
  each_line(list, [](unsigned number, const char* line, size_t n) {
    std::printf("%4u  %.*s\n", number, static_cast<int>(n), line);
  });
  return CTL_DONE;
}

int set_from(const char* file) {
  FILE* in = std::strcmp(file, "-") == 0 ? stdin : std::fopen(file, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "merovane ctl: cannot read \"%s\": %s\n", file, std::strerror(errno));
    return CTL_REFUSED;
  }
  text list;
  char buffer[4096];
  size_t n;
  bool ok = true;
  while (ok && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0) ok = list.add(buffer, n);
  if (in != stdin) std::fclose(in);
  if (!ok) return refused("out of memory");
  if (list.len > RULES_TEXT_MAX) return refused("the rules are longer than 64 KiB");
  const int rc = store_rules(list);
  if (rc == CTL_DONE) std::printf("rules saved\n");
  return rc;
}

int add(const char* line) {
  text list;
  if (!stored_rules(list)) return no_instance();
  if (list.len > 0 && list.c_str()[list.len - 1] != '\n' && !list.add("\n"))
    return refused("out of memory");
  if (!list.add(line)) return refused("out of memory");
  const int rc = store_rules(list);
  if (rc == CTL_DONE) std::printf("rule added\n");
  return rc;
}

int del(const char* number_text) {
  char* end = nullptr;
  const unsigned long wanted = std::strtoul(number_text, &end, 10);
  if (end == number_text || *end != 0 || wanted == 0) return refused("del needs a line number");
  text list, kept;
  if (!stored_rules(list)) return no_instance();
  bool found = false, ok = true;
  each_line(list, [&](unsigned number, const char* line, size_t n) {
    if (number == wanted) {
      found = true;
      return;
    }
    ok = ok && kept.add(line, n) && kept.add("\n");
  });
  if (!ok) return refused("out of memory");
  if (!found) return refused("no rule has that line number (see merovane ctl rules show)");
  const int rc = store_rules(kept);
  if (rc == CTL_DONE) std::printf("line %lu deleted\n", wanted);
  return rc;
}

}  // namespace

int ctl_rules(int argc, char** argv) {
  const char* what = argc >= 1 ? argv[0] : "show";
  if (std::strcmp(what, "show") == 0) return show();
  if (std::strcmp(what, "set") == 0)
    return argc >= 2 ? set_from(argv[1]) : refused("rules set needs FILE or -");
  if (std::strcmp(what, "add") == 0)
    return argc >= 2 ? add(argv[1]) : refused("rules add needs a line (\"MATCH ACTION\")");
  if (std::strcmp(what, "del") == 0)
    return argc >= 2 ? del(argv[1]) : refused("rules del needs a line number");
  return refused("rules takes show, set FILE|-, add LINE or del N");
}
