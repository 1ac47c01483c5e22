#include "platform/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

bool notify_send(const char* state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (state == nullptr || name == nullptr || name[0] == 0) return false;
  size_t len = std::strlen(name);
  sockaddr_un addr{};
  if (len >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, name, len);
  if (name[0] == '@') addr.sun_path[0] = 0;
  socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  if (name[0] != '@') addr_len += 1;  // the terminating NUL of a file path
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent = sendto(fd, state, std::strlen(state), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&addr), addr_len);
  close(fd);
  return sent == static_cast<ssize_t>(std::strlen(state));
}
