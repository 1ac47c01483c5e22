// Shared pieces of the fuzz targets: a process-wide ban on sockets (every
// socket() call fails, so nothing a parser triggers can reach a network,
// name lookups included) and scratch homes and databases for the parsers
// that read settings or store what they find.
#pragma once

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db/db.h"
#include "util/registry.h"

// Makes socket() and socketpair() fail with EACCES for the rest of the process.
inline void fuzz_forbid_sockets() {
#if defined(__x86_64__)
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socketpair, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
  };
  sock_fprog prog{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
    abort();
#else
#error "the socket ban of the fuzz targets is written for x86-64"
#endif
}

// A scratch MEROVANE_HOME under $TMPDIR (else /dev/shm, else /tmp); returns its path.
inline std::string fuzz_scratch_home(const char* tag) {
  const char* bases[] = {getenv("TMPDIR"), "/dev/shm", "/tmp"};
  for (const char* base : bases) {
    if (base == nullptr || base[0] == 0) continue;
    std::string buf = std::string(base) + "/merovane-fuzz-" + tag + "-XXXXXX";
    if (mkdtemp(buf.data()) == nullptr) continue;
    setenv("MEROVANE_HOME", buf.c_str(), 1);
    return buf;
  }
  abort();
}

// Opens a fresh database in dir; aborts when it cannot.
inline void fuzz_scratch_db(const std::string& dir) {
  std::string path = dir + "/settings.db";
  if (!db_open(path.c_str())) abort();
  db_init_schema();
  db_exec("PRAGMA synchronous=OFF");
}
