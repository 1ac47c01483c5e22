#include "tests/support/chain_db.h"

#include <arpa/inet.h>

#include <cstdlib>

#include "db/db.h"

namespace {
std::string home;
int serial = 0;
}  // namespace

const std::string& chain_test_home() {
  if (home.empty()) {
    char dir[] = "/tmp/merovane-chain-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    home = dir;
    setenv("MEROVANE_HOME", dir, 1);
  }
  return home;
}

bool chain_test_db() {
  const std::string& dir = chain_test_home();
  db_close();
  const std::string path = dir + "/chain" + std::to_string(++serial) + ".db";
  if (!db_open(path.c_str())) return false;
  db_init_schema();
  db_exec("%s", sql_chain_clear());
  return true;
}

uint32_t ip_number(const char* dotted) {
  in_addr a{};
  inet_aton(dotted, &a);
  return a.s_addr;
}

void chain_db_add_proxy(const char* dotted, uint16_t port, uint16_t type, int timeout, int rank,
                        int t_ok) {
  db_exec("INSERT INTO proxy(ip,port,type,timeout,rank,t_ok) VALUES(%u,%u,%u,%d,%d,%d)",
          ip_number(dotted), static_cast<unsigned>(port), static_cast<unsigned>(type), timeout,
          rank, t_ok);
}

void chain_db_add_link(int position, int selection, int flags, uint32_t ip, uint16_t port) {
  db_exec(sql_link_insert(), position, selection, flags, ip, static_cast<unsigned>(port));
}

int chain_db_rank(const char* dotted, uint16_t port) {
  char* t = db_query_text("", "", "SELECT rank FROM proxy WHERE ip=%u AND port=%u",
                          ip_number(dotted), static_cast<unsigned>(port));
  if (t == nullptr) return -1;
  const int v = atoi(t);
  free(t);
  return v;
}
