#include "platform/lockfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

int instance_lock_take(const char* path) {
  if (path == nullptr || path[0] == 0) return -1;
  char dir[1024];
  if (path_parent(path, dir, sizeof dir)) path_make_dirs(dir, 0700);
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  int rc;
  do rc = flock(fd, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void instance_lock_release(int fd) {
  if (fd >= 0) close(fd);
}
