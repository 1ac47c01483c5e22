#include "front/access.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <span>

#include "engine/slot.h"
#include "front/signin.h"
#include "log/console.h"
#include "log/metrics.h"
#include "platform/clock.h"
#include "util/registry.h"

namespace {

constexpr const char* LOOPBACK_RANGES = "127.0.0.0/8 ::1";
constexpr const char* LAN_RANGES =
    "127.0.0.0/8 ::1 10.0.0.0/8 172.16.0.0/12 192.168.0.0/16 169.254.0.0/16 fc00::/7 fe80::/10";
constexpr size_t LIST_TEXT_MAX = 1024;

net_range ranges[ACCESS_RANGES_MAX];
int range_count = -1;  // -1: not configured yet (the loopback default)
bool listener_loopback = true;
bool panel_remote = false;
char list_text[LIST_TEXT_MAX];

// Sources told about lately, so that each is told once a minute at most.
constexpr int TOLD_MAX = 32;
struct told_source {
  net_address address;
  uint32_t at;
};
told_source told[TOLD_MAX];
int told_count = 0;

bool is_loopback_listen(const char* ip) {
  const net_address a = net_address_parse(ip != nullptr ? ip : "");
  if (a.family == 4) return a.bytes[0] == 127;
  static constexpr uint8_t one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return a.family == 6 && memcmp(a.bytes, one, 16) == 0;
}

void use_list(const char* text) {
  std::string_view bad;
  range_count = net_range_list_parse(text, std::span<net_range>(ranges), bad);
  snprintf(list_text, sizeof list_text, "%s", text);
}

// True when the source was not told within the last minute (and notes it).
bool tell_due(const net_address& a) {
  const uint32_t now = tick_now();
  int oldest = 0;
  for (int i = 0; i < told_count; ++i) {
    if (told[i].address.family == a.family && memcmp(told[i].address.bytes, a.bytes, 16) == 0) {
      if (now - told[i].at < ACCESS_TELL_MS) return false;
      told[i].at = now;
      return true;
    }
    if (static_cast<int32_t>(told[i].at - told[oldest].at) < 0) oldest = i;
  }
  const int place = told_count < TOLD_MAX ? told_count++ : oldest;
  told[place] = told_source{a, now};
  return true;
}

void tell_refused(const net_address& a, const char* why) {
  if (!tell_due(a)) return;
  char text[48];
  if (net_address_text(a, text, sizeof text) == 0) snprintf(text, sizeof text, "?");
  console_line("client %s refused: %s (told once a minute per address)", text, why);
}

net_address local_of(int sock) {
  sockaddr_storage here{};
  socklen_t len = sizeof here;
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&here), &len) != 0) return net_address{};
  return net_address_of(reinterpret_cast<const sockaddr*>(&here));
}

}  // namespace

void access_configure_with(const char* listen_ip, const char* list, bool remote) {
  panel_remote = remote;
  listener_loopback = is_loopback_listen(listen_ip);
  told_count = 0;
  if (list != nullptr) {
    std::string_view bad;
    net_range probe[ACCESS_RANGES_MAX];
    if (net_range_list_parse(list, std::span<net_range>(probe), bad) >= 0) {
      use_list(list);
      return;
    }
    console_line("\"allow_clients\": \"%.*s\" is not an address or range; using the default",
                 static_cast<int>(bad.size() > 60 ? 60 : bad.size()), bad.data());
  }
  use_list(is_loopback_listen(listen_ip) ? LOOPBACK_RANGES : LAN_RANGES);
}

void access_configure(const char* listen_ip) {
  char list[LIST_TEXT_MAX];
  uint32_t type = 0;
  size_t size = 0;
  const bool listed = reg_get("allow_clients", &type, list, sizeof list, &size) && type == REG_SZ;
  uint32_t flag = 0;
  bool remote = false;
  if (reg_get("panel_remote", &type, &flag, sizeof flag, &size))
    remote = type == REG_DWORD ? flag != 0
                               : (type == REG_SZ && reinterpret_cast<char*>(&flag)[0] == '1');
  access_configure_with(listen_ip, listed ? list : nullptr, remote);
}

bool access_allows(const net_address& address) {
  if (range_count < 0) access_configure_with("127.0.0.1", nullptr, panel_remote);
  return net_range_list_contains(
      std::span<const net_range>(ranges, static_cast<size_t>(range_count)), address);
}

bool access_listener_loopback() {
  return listener_loopback;
}

size_t access_describe(char* out, size_t capacity) {
  if (capacity == 0) return 0;
  if (range_count < 0) access_configure_with("127.0.0.1", nullptr, panel_remote);
  const int n = snprintf(out, capacity, "%s", list_text);
  return n < 0 ? 0 : static_cast<size_t>(n) < capacity ? static_cast<size_t>(n) : capacity - 1;
}

net_address access_peer(int index) {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (getpeername(conn_table[index].sock, reinterpret_cast<sockaddr*>(&peer), &len) != 0)
    return net_address{};
  return net_address_of(reinterpret_cast<const sockaddr*>(&peer));
}

bool access_accept(int index) {
  const net_address peer = access_peer(index);
  if (!access_allows(peer)) {
    metrics_client_refused(client_refusal::address);
    tell_refused(peer, "address not in \"allow_clients\"");
    return false;
  }
  if (signin_locked_out(peer)) {
    metrics_client_refused(client_refusal::sign_in);
    tell_refused(peer, "too many failed sign-ins, locked out for a minute");
    return false;
  }
  slot_set_deadline(index, CLIENT_REQUEST_MS);
  return true;
}

bool access_is_this_machine(const net_address& peer, const net_address& local) {
  if (peer.family == 0) return false;
  static constexpr uint8_t one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (peer.family == 4 && peer.bytes[0] == 127 && peer.bytes[1] == 0 && peer.bytes[2] == 0 &&
      peer.bytes[3] == 1)
    return true;
  if (peer.family == 6 && memcmp(peer.bytes, one, 16) == 0) return true;
  // A connection this machine makes to one of its own addresses comes from
  // that very address.
  return local.family == peer.family && memcmp(local.bytes, peer.bytes, 16) == 0;
}

bool access_panel_allowed(int index) {
  if (panel_remote) return true;
  return access_is_this_machine(access_peer(index), local_of(conn_table[index].sock));
}
