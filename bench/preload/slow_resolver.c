// A stand-in for the system resolver, loaded into the program under test
// with LD_PRELOAD by bench_soak. No name ever reaches a real name server:
//
//   SOAK_SLOW_SUFFIX   names ending in it (".slow.example") wait, then fail
//   SOAK_NAME_MAP      "name=a.b.c.d,..."; each name waits, then answers
//                      that address
//   SOAK_SLOW_MS       how long both wait (default 5000)
//   SOAK_RESOLVER_LOG  a file that gets one line per name asked for:
//                      "slow NAME MS", "mapped NAME MS" or "refused NAME"
//
// Numeric addresses and "localhost" go to the C library as they are (no
// name server involved); every other name fails at once. Reverse lookups
// answer numerically or "no name".
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

typedef int (*getaddrinfo_fn)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
typedef int (*getnameinfo_fn)(const struct sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t,
                              int);
typedef struct hostent* (*gethostbyname_fn)(const char*);
typedef int (*gethostbyname_r_fn)(const char*, struct hostent*, char*, size_t, struct hostent**,
                                  int*);

enum answer { PASS, SLOW_FAIL, MAPPED, REFUSED };

static long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static void note(const char* what, const char* name, long ms) {
  const char* path = getenv("SOAK_RESOLVER_LOG");
  if (path == NULL || path[0] == 0) return;
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[400];
  const int n = snprintf(line, sizeof line, "%s %.250s %ld\n", what, name, ms);
  if (n > 0) {
    const ssize_t w = write(fd, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
    (void)w;
  }
  close(fd);
}

static void wait_slow(void) {
  const char* v = getenv("SOAK_SLOW_MS");
  long ms = v != NULL ? strtol(v, NULL, 10) : 5000;
  if (ms < 0 || ms > 60000) ms = 5000;
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

static int is_numeric(const char* host) {
  struct in_addr v4;
  struct in6_addr v6;
  return inet_aton(host, &v4) != 0 || inet_pton(AF_INET6, host, &v6) == 1;
}

// What to do with a name; for MAPPED the address text goes to out.
static enum answer classify(const char* host, char* out, size_t size) {
  if (host == NULL || is_numeric(host)) return PASS;
  size_t n = strlen(host);
  if (n > 0 && host[n - 1] == '.') --n;
  if (n == 9 && strncasecmp(host, "localhost", 9) == 0) return PASS;
  const char* suffix = getenv("SOAK_SLOW_SUFFIX");
  const size_t s = suffix != NULL ? strlen(suffix) : 0;
  if (s > 0 && n >= s && strncasecmp(host + n - s, suffix, s) == 0) return SLOW_FAIL;
  const char* map = getenv("SOAK_NAME_MAP");
  for (const char* p = map; p != NULL && *p != 0;) {
    const char* eq = strchr(p, '=');
    if (eq == NULL) break;
    const char* end = strchr(eq, ',');
    if (end == NULL) end = eq + strlen(eq);
    if ((size_t)(eq - p) == n && strncasecmp(p, host, n) == 0 && (size_t)(end - eq - 1) < size) {
      memcpy(out, eq + 1, (size_t)(end - eq - 1));
      out[end - eq - 1] = 0;
      return MAPPED;
    }
    p = *end == ',' ? end + 1 : end;
  }
  return REFUSED;
}

// The name to hand to the real resolver for host: host itself, or the
// address it is mapped to after the slow wait; NULL (after the wait for a
// slow name) when the lookup fails. *was_mapped says which.
static const char* lookup_as(const char* host, char* mapped, size_t size, int* was_mapped) {
  const long start = now_ms();
  *was_mapped = 0;
  switch (classify(host, mapped, size)) {
    case PASS:
      return host;
    case SLOW_FAIL:
      wait_slow();
      note("slow", host, now_ms() - start);
      return NULL;
    case MAPPED:
      wait_slow();
      note("mapped", host, now_ms() - start);
      *was_mapped = 1;
      return mapped;
    case REFUSED:
      note("refused", host, 0);
      return NULL;
  }
  return NULL;
}

int getaddrinfo(const char* host, const char* service, const struct addrinfo* hints,
                struct addrinfo** res) {
  getaddrinfo_fn real = (getaddrinfo_fn)dlsym(RTLD_NEXT, "getaddrinfo");
  if (real == NULL) return EAI_FAIL;
  char mapped[64];
  int was_mapped = 0;
  const char* name = lookup_as(host, mapped, sizeof mapped, &was_mapped);
  if (name == NULL) return EAI_NONAME;
  if (!was_mapped) return real(host, service, hints, res);
  struct addrinfo numeric;
  memset(&numeric, 0, sizeof numeric);
  if (hints != NULL) numeric = *hints;
  numeric.ai_flags |= AI_NUMERICHOST;
  return real(name, service, &numeric, res);
}

struct hostent* gethostbyname(const char* host) {
  gethostbyname_fn real = (gethostbyname_fn)dlsym(RTLD_NEXT, "gethostbyname");
  if (real == NULL) return NULL;
  char mapped[64];
  int was_mapped = 0;
  const char* name = lookup_as(host, mapped, sizeof mapped, &was_mapped);
  if (name != NULL) return real(name);
  h_errno = HOST_NOT_FOUND;
  return NULL;
}

int gethostbyname_r(const char* host, struct hostent* ret, char* buf, size_t size,
                    struct hostent** result, int* err) {
  gethostbyname_r_fn real = (gethostbyname_r_fn)dlsym(RTLD_NEXT, "gethostbyname_r");
  if (real == NULL) return ENOENT;
  char mapped[64];
  int was_mapped = 0;
  const char* name = lookup_as(host, mapped, sizeof mapped, &was_mapped);
  if (name != NULL) return real(name, ret, buf, size, result, err);
  *result = NULL;
  if (err != NULL) *err = HOST_NOT_FOUND;
  return 0;
}

int getnameinfo(const struct sockaddr* sa, socklen_t salen, char* host, socklen_t hostlen,
                char* serv, socklen_t servlen, int flags) {
  getnameinfo_fn real = (getnameinfo_fn)dlsym(RTLD_NEXT, "getnameinfo");
  if (real == NULL) return EAI_FAIL;
  if (host != NULL && hostlen > 0 && (flags & NI_NUMERICHOST) == 0) {
    if (flags & NI_NAMEREQD) return EAI_NONAME;
    flags |= NI_NUMERICHOST;
  }
  return real(sa, salen, host, hostlen, serv, servlen, flags | NI_NUMERICSERV);
}

struct hostent* gethostbyaddr(const void* addr, socklen_t len, int type) {
  (void)addr;
  (void)len;
  (void)type;
  h_errno = HOST_NOT_FOUND;
  return NULL;
}
