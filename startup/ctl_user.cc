#include "startup/ctl_user.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "db/accounts.h"
#include "startup/ctl_client.h"
#include "util/passhash.h"

using namespace ctl;

namespace {

// One line of standard input, without its line end, into out (PASS_MAX + 2
// bytes); echo is off while a terminal types it. False when nothing came.
bool read_password(const char* name, char* out, size_t capacity) {
  const bool terminal = isatty(STDIN_FILENO) != 0;
  termios saved{};
  if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::fprintf(stderr, "Password for %s: ", name);
  }
  size_t n = 0;
  bool ended = false;
  while (!ended) {
    char c;
    const ssize_t got = read(STDIN_FILENO, &c, 1);
    if (got <= 0 || c == '\n') break;
    if (n + 1 < capacity)
      out[n++] = c;
    else
      ended = true;  // too long: refused below
  }
  if (n > 0 && out[n - 1] == '\r') --n;
  out[n] = 0;
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
  }
  return n > 0 && !ended;
}

int user_add(const char* name) {
  if (!account_name_valid(name))
    return refused(
        "an account name is 1 to 64 printable characters, without blanks or : \" \\ ' < > &");
  char pass[PASS_MAX + 2];
  char hash[PASS_HASH_SIZE];
  const bool read_ok = read_password(name, pass, sizeof pass);
  const bool hashed = read_ok && pass_hash(pass, hash, sizeof hash);
  explicit_bzero(pass, sizeof pass);
  if (!read_ok) return refused("a password of 1 to 255 characters is needed");
  if (!hashed) return refused("the system cannot make a yescrypt hash (libcrypt)");
  text body, value;
  if (!add_param(body, "type", "user_add") || !add_param(body, "name", name) ||
      !add_param(body, "hash", hash))
    return refused("out of memory");
  if (!command(body, "user_add", value)) return no_instance();
  char why[128];
  if (settings_member(value.c_str(), "refused", why, sizeof why)) return refused(why);
  std::printf("account %s saved; clients now sign in\n", name);
  return CTL_DONE;
}

int user_del(const char* name) {
  text body, value;
  if (!add_param(body, "type", "user_del") || !add_param(body, "name", name))
    return refused("out of memory");
  if (!command(body, "user_del", value)) return no_instance();
  if (member_number(value.c_str(), "removed") != 1) return refused("no such account");
  std::printf("account %s removed\n", name);
  return CTL_DONE;
}

int user_list() {
  text body, value;
  if (!add_param(body, "type", "user_list")) return refused("out of memory");
  if (!command(body, "user_list", value)) return no_instance();
  // {names:["a","b"]}: names hold no quote.
  const char* p = std::strchr(value.c_str(), '[');
  while (p != nullptr && (p = std::strchr(p, '"')) != nullptr) {
    const char* end = std::strchr(p + 1, '"');
    if (end == nullptr) break;
    std::printf("%.*s\n", static_cast<int>(end - p - 1), p + 1);
    p = end + 1;
  }
  return CTL_DONE;
}

}  // namespace

int ctl_user(int argc, char** argv) {
  if (argc >= 1 && std::strcmp(argv[0], "list") == 0) return user_list();
  if (argc >= 2 && std::strcmp(argv[0], "add") == 0) return user_add(argv[1]);
  if (argc >= 2 && std::strcmp(argv[0], "del") == 0) return user_del(argv[1]);
  return refused("user needs add NAME, del NAME or list");
}
