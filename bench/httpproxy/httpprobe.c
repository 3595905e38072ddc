/* httpprobe: load clients for the HTTP proxy benchmark.
 *
 *   httpprobe rate PORT SECONDS THREADS PROXY     requests per second, one per connection: an HTTP/1.0 GET
 *                                                 of http://127.0.0.1:PORT/ through the HTTP proxy on port
 *                                                 PROXY (0: straight to PORT), read to the end, close
 *   httpprobe fetch PORT PATH SECONDS PROXY       one connection after another, each fetching PATH (a large
 *                                                 body) to the end, for SECONDS (at most 1000 fetches)
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

/* A connection to the server, or to the proxy when proxyPort is not 0. */
static int Open(int port, int proxyPort) { return ConnectTo(proxyPort != 0 ? proxyPort : port); }

/* Sends the GET, reads to the end; the number of bytes received, -1 on failure. */
static long long Get(int fd, int port, int proxyPort, const char* path, char* buffer, size_t size) {
  char request[256];
  const int length =
      proxyPort != 0
          ? snprintf(request, sizeof request, "GET http://127.0.0.1:%d%s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", port, path)
          : snprintf(request, sizeof request, "GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", path);
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
  int proxyPort;
  double end;
  long done;
  long failed;
};

static void* RateMain(void* argument) {
  struct RateWorker* w = argument;
  char answer[4096];
  while (Now() < w->end) {
    int fd = Open(w->port, w->proxyPort);
    if (fd < 0) {
      ++w->failed;
      usleep(1000);
      continue;
    }
    const long long got = Get(fd, w->port, w->proxyPort, "/", answer, sizeof answer);
    close(fd);
    if (got > 0) {
      ++w->done;
    } else {
      ++w->failed;
    }
  }
  return NULL;
}

static int Rate(int port, double seconds, int threads, int proxyPort) {
  RaiseFileLimit();
  struct RateWorker* workers = calloc((size_t)threads, sizeof *workers);
  const double start = Now();
  for (int i = 0; i < threads; ++i) {
    workers[i].port = port;
    workers[i].proxyPort = proxyPort;
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
static int Fetch(int port, const char* path, double seconds, int proxyPort) {
  const size_t size = 256 * 1024;
  char* buffer = malloc(size);
  const double start = Now();
  long fetched = 0, failed = 0;
  long long bytes = 0;
  double best = 0;
  for (int i = 0; i < 1000 && Now() < start + seconds; ++i) {
    const double t0 = Now();
    int fd = Open(port, proxyPort);
    long long got = fd < 0 ? -1 : Get(fd, port, proxyPort, path, buffer, size);
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
  signal(SIGPIPE, SIG_IGN);
  if (argc == 6 && strcmp(argv[1], "rate") == 0)
    return Rate(atoi(argv[2]), atof(argv[3]), atoi(argv[4]), atoi(argv[5]));
  if (argc == 6 && strcmp(argv[1], "fetch") == 0) return Fetch(atoi(argv[2]), argv[3], atof(argv[4]), atoi(argv[5]));
  fprintf(stderr, "usage: httpprobe rate PORT SECONDS THREADS PROXY | fetch PORT PATH SECONDS PROXY\n");
  return 2;
}
