/* socksprobe: SOCKS 4 and SOCKS 5 load clients for the SOCKS benchmark.
 *
 *   socksprobe rate PORT SECONDS THREADS SOCKS    connections per second: through the SOCKS 4 server on port
 *                                                 SOCKS (0: straight to PORT), CONNECT to 127.0.0.1:PORT,
 *                                                 read the 8-byte reply, HTTP/1.0 GET, read to the end, close
 *   socksprobe fetch PORT PATH SECONDS SOCKS      one connection after another, each fetching PATH (a large
 *                                                 body) to the end, for SECONDS (at most 1000 fetches)
 *
 * SOCKSPROBE_VERSION=5 in the environment speaks SOCKS 5 instead (method "no authentication", then
 * CONNECT to 127.0.0.1:PORT, each answer awaited as a client does).
 *
 * Every loop is bounded by a count and a deadline; everything talks to 127.0.0.1 only.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static struct sockaddr_in Loopback(int port) {
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

static int ConnectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  struct sockaddr_in a = Loopback(port);
  if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static void RaiseFileLimit(void) {
  struct rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
}

/* Bounded blocking I/O: each wait lasts at most `seconds`. */
static int WaitFor(int fd, short events, double seconds) {
  struct pollfd p = {fd, events, 0};
  return poll(&p, 1, (int)(seconds * 1000)) == 1;
}

static int SendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN && WaitFor(fd, POLLOUT, 5)) continue;
      return 0;
    }
    data += n;
    length -= (size_t)n;
  }
  return 1;
}

static int ReceiveAll(int fd, unsigned char* data, size_t length) {
  while (length > 0) {
    if (!WaitFor(fd, POLLIN, 5)) return 0;
    ssize_t n = recv(fd, data, length, 0);
    if (n <= 0) {
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return 0;
    }
    data += n;
    length -= (size_t)n;
  }
  return 1;
}

/* A connection to 127.0.0.1:port, through the SOCKS 4 server on socksPort
 * when that is not 0: CONNECT request (empty user id), then the 8-byte
 * reply, which must grant the request (code 90). */
static int socksVersion = 4;

/* SOCKS 5: the greeting and its answer, the CONNECT request and its
 * 10-byte reply (IPv4), which must say succeeded (0). */
static int Open5(int fd, int port) {
  const unsigned char greeting[3] = {5, 1, 0};
  unsigned char choice[2];
  if (!SendAll(fd, (const char*)greeting, sizeof greeting) || !ReceiveAll(fd, choice, sizeof choice) ||
      choice[0] != 5 || choice[1] != 0) {
    close(fd);
    return -1;
  }
  const unsigned char request[10] = {5, 1, 0, 1, 127, 0, 0, 1, (unsigned char)(port >> 8), (unsigned char)port};
  unsigned char reply[10];
  if (!SendAll(fd, (const char*)request, sizeof request) || !ReceiveAll(fd, reply, sizeof reply) ||
      reply[0] != 5 || reply[1] != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static int Open(int port, int socksPort) {
  if (socksPort == 0) return ConnectTo(port);
  int fd = ConnectTo(socksPort);
  if (fd < 0) return -1;
  if (socksVersion == 5) return Open5(fd, port);
  unsigned char request[9] = {4, 1, (unsigned char)(port >> 8), (unsigned char)port, 127, 0, 0, 1, 0};
  unsigned char reply[8];
  if (!SendAll(fd, (const char*)request, sizeof request) || !ReceiveAll(fd, reply, sizeof reply) ||
      reply[0] != 0 || reply[1] != 90) {
    close(fd);
    return -1;
  }
  return fd;
}

/* Sends the GET, reads to the end; the number of bytes received, -1 on failure. */
static long long Get(int fd, const char* path, char* buffer, size_t size) {
  char request[256];
  const int length = snprintf(request, sizeof request, "GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", path);
  if (!SendAll(fd, request, (size_t)length)) return -1;
  long long total = 0;
  char head[8] = {0};
  for (;;) {
    if (!WaitFor(fd, POLLIN, 5)) return -1;
    ssize_t n = recv(fd, buffer, size, 0);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (total < 7) memcpy(head + total, buffer, (size_t)(n < 7 - total ? n : 7 - total));
    total += n;
  }
  if (total < 12 || memcmp(head, "HTTP/1.", 7) != 0) return -1;
  return total;
}

/* ---- connection rate ---- */
struct RateWorker {
  pthread_t thread;
  int port;
  int socksPort;
  double end;
  long done;
  long failed;
};

static void* RateMain(void* argument) {
  struct RateWorker* w = argument;
  char answer[4096];
  while (Now() < w->end) {
    int fd = Open(w->port, w->socksPort);
    if (fd < 0) {
      ++w->failed;
      usleep(1000);
      continue;
    }
    const long long got = Get(fd, "/", answer, sizeof answer);
    close(fd);
    if (got > 0) {
      ++w->done;
    } else {
      ++w->failed;
    }
  }
  return NULL;
}

static int Rate(int port, double seconds, int threads, int socksPort) {
  RaiseFileLimit();
  struct RateWorker* workers = calloc((size_t)threads, sizeof *workers);
  const double start = Now();
  for (int i = 0; i < threads; ++i) {
    workers[i].port = port;
    workers[i].socksPort = socksPort;
    workers[i].end = start + seconds;
    pthread_create(&workers[i].thread, NULL, RateMain, &workers[i]);
  }
  long done = 0, failed = 0;
  for (int i = 0; i < threads; ++i) {
    pthread_join(workers[i].thread, NULL);
    done += workers[i].done;
    failed += workers[i].failed;
  }
  const double elapsed = Now() - start;
  printf("connections=%ld failed=%ld seconds=%.2f rate=%.0f\n", done, failed, elapsed, done / elapsed);
  free(workers);
  return 0;
}

/* ---- large bodies ---- */
static int Fetch(int port, const char* path, double seconds, int socksPort) {
  const size_t size = 256 * 1024;
  char* buffer = malloc(size);
  const double start = Now();
  long fetched = 0, failed = 0;
  long long bytes = 0;
  double best = 0;
  for (int i = 0; i < 1000 && Now() < start + seconds; ++i) {
    const double t0 = Now();
    int fd = Open(port, socksPort);
    long long got = fd < 0 ? -1 : Get(fd, path, buffer, size);
    if (fd >= 0) close(fd);
    if (got < 0) {
      ++failed;
      continue;
    }
    const double rate = (double)got / (Now() - t0);
    if (rate > best) best = rate;
    ++fetched;
    bytes += got;
  }
  const double elapsed = Now() - start;
  printf("fetches=%ld failed=%ld bytes=%lld seconds=%.2f mbyte_s=%.0f best_mbyte_s=%.0f\n", fetched, failed, bytes,
         elapsed, (double)bytes / elapsed / 1e6, best / 1e6);
  free(buffer);
  return 0;
}

int main(int argc, char** argv) {
  const char* version = getenv("SOCKSPROBE_VERSION");
  if (version != NULL && strcmp(version, "5") == 0) socksVersion = 5;
  signal(SIGPIPE, SIG_IGN);
  if (argc == 6 && strcmp(argv[1], "rate") == 0)
    return Rate(atoi(argv[2]), atof(argv[3]), atoi(argv[4]), atoi(argv[5]));
  if (argc == 6 && strcmp(argv[1], "fetch") == 0) return Fetch(atoi(argv[2]), argv[3], atof(argv[4]), atoi(argv[5]));
  fprintf(stderr, "usage: socksprobe rate PORT SECONDS THREADS SOCKS | fetch PORT PATH SECONDS SOCKS\n");
  return 2;
}
