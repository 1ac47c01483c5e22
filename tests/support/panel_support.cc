#include "tests/support/panel_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "engine/slot.h"
#include "util/registry.h"

namespace {
std::string home;
int db_serial = 0;
}  // namespace

std::string panel_test_home(const char* root) {
  if (home.empty()) {
    char dir[] = "/tmp/merovane-panel-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    home = dir;
    setenv("MEROVANE_HOME", dir, 1);
  }
  reg_set("root", REG_SZ, root, strlen(root) + 1);
  return home;
}

bool panel_test_db() {
  if (home.empty()) panel_test_home("0123456789abcdef0123456789abcdef");
  db_close();
  std::string path = home + "/settings" + std::to_string(++db_serial) + ".db";
  if (!db_open(path.c_str())) return false;
  db_init_schema();
  return true;
}

void panel_test_clear_table() {
  for (int i = 0; i < SLOT_COUNT; ++i) {
    conn_slot& s = conn_table[i];
    if (s.sock > 2) close(s.sock);
    stream_free(s.in);
    stream_free(s.out);
    memset(&s, 0, sizeof s);
    s.sock = -1;
  }
}

void panel_test_slot(int index, const std::string& input) {
  conn_slot& s = conn_table[index];
  if (s.sock > 2) close(s.sock);
  stream_free(s.in);
  stream_free(s.out);
  memset(&s, 0, sizeof s);
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) abort();
  close(pair[1]);
  s.sock = pair[0];
  s.kind = slot_kind::web;
  panel_test_more(index, input);
}

void panel_test_more(int index, const std::string& input) {
  if (!input.empty()) stream_append(conn_table[index].in, input.data(), input.size());
}

std::string panel_test_output(int index) {
  const stream& out = conn_table[index].out;
  if (out.data == nullptr) return "";
  return std::string(reinterpret_cast<const char*>(out.data), out.len);
}

std::string panel_test_body(const std::string& reply) {
  size_t at = reply.find("\r\n\r\n");
  return at == std::string::npos ? "" : reply.substr(at + 4);
}
