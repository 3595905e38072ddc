/* relayprobe: the small load tools the relay benchmark needs where no packaged tool fits.
 *
 *   relayprobe echo PORT SECONDS            epoll echo server on 127.0.0.1:PORT, stops after SECONDS
 *   relayprobe rate PORT SECONDS THREADS    connections per second: connect, HTTP/1.0 GET, read to end, close
 *   relayprobe latency PORT COUNT SIZE      round trips of SIZE-byte messages on one connection (echo server behind)
 *   relayprobe hold PORT COUNT PID          holds COUNT echoing connections, reports PID's resident memory
 *
 * Every loop is bounded by a count and a deadline; everything talks to 127.0.0.1 only.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
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

/* Bounded blocking I/O: each call waits at most `seconds`. */
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

static int ReceiveAll(int fd, char* data, size_t length) {
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

/* ---- echo server ---- */
static int Echo(int port, double seconds) {
  RaiseFileLimit();
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a = Loopback(port);
  if (bind(listener, (struct sockaddr*)&a, sizeof a) != 0 || listen(listener, 4096) != 0) {
    perror("echo: bind/listen");
    return 1;
  }
  int ep = epoll_create1(0);
  struct epoll_event ev = {.events = EPOLLIN, .data.fd = listener};
  epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  static char buffer[65536];
  struct epoll_event events[256];
  const double end = Now() + seconds;
  while (Now() < end) {
    int n = epoll_wait(ep, events, 256, 200);
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == listener) {
        for (int k = 0; k < 256; ++k) {
          int c = accept4(listener, NULL, NULL, 0);
          if (c < 0) break;
          setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          struct epoll_event ce = {.events = EPOLLIN, .data.fd = c};
          epoll_ctl(ep, EPOLL_CTL_ADD, c, &ce);
        }
        continue;
      }
      ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        close(fd);
      } else if (got > 0 && !SendAll(fd, buffer, (size_t)got)) {
        close(fd);
      }
    }
  }
  return 0;
}

/* ---- connection rate ---- */
struct RateWorker {
  pthread_t thread;
  int port;
  double end;
  long done;
  long failed;
};

static void* RateMain(void* argument) {
  struct RateWorker* w = argument;
  static const char request[] = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  char answer[4096];
  while (Now() < w->end) {
    int fd = ConnectTo(w->port);
    if (fd < 0) {
      ++w->failed;
      usleep(1000);
      continue;
    }
    int ok = SendAll(fd, request, sizeof request - 1);
    size_t total = 0;
    while (ok) {
      if (!WaitFor(fd, POLLIN, 5)) {
        ok = 0;
        break;
      }
      ssize_t n = recv(fd, answer, sizeof answer, 0);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        ok = 0;
        break;
      }
      total += (size_t)n;
    }
    close(fd);
    if (ok && total >= 12 && memcmp(answer, "HTTP/1.", 7) == 0) {
      ++w->done;
    } else {
      ++w->failed;
    }
  }
  return NULL;
}

static int Rate(int port, double seconds, int threads) {
  RaiseFileLimit();
  struct RateWorker* workers = calloc((size_t)threads, sizeof *workers);
  const double start = Now();
  for (int i = 0; i < threads; ++i) {
    workers[i].port = port;
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

/* ---- round-trip latency ---- */
static int CompareDouble(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static int Latency(int port, int count, int size) {
  int fd = ConnectTo(port);
  if (fd < 0) {
    perror("latency: connect");
    return 1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char* out = malloc((size_t)size);
  char* in = malloc((size_t)size);
  memset(out, 'x', (size_t)size);
  double* samples = malloc(sizeof(double) * (size_t)count);
  const int warm = count / 20;
  const double deadline = Now() + 60;
  int measured = 0;
  for (int i = 0; i < count + warm && Now() < deadline; ++i) {
    const double t0 = Now();
    if (!SendAll(fd, out, (size_t)size) || !ReceiveAll(fd, in, (size_t)size)) {
      fprintf(stderr, "latency: exchange %d failed\n", i);
      return 1;
    }
    if (i >= warm) samples[measured++] = (Now() - t0) * 1e6;
  }
  close(fd);
  qsort(samples, (size_t)measured, sizeof(double), CompareDouble);
  double sum = 0;
  for (int i = 0; i < measured; ++i) sum += samples[i];
  printf("round_trips=%d p50_us=%.1f p99_us=%.1f mean_us=%.1f\n", measured, samples[measured / 2],
         samples[(int)(measured * 0.99)], sum / measured);
  return 0;
}

/* ---- many idle connections ---- */
static long ReadStatus(int pid, const char* key) {
  char path[64], line[256];
  snprintf(path, sizeof path, "/proc/%d/status", pid);
  FILE* f = fopen(path, "r");
  if (!f) return -1;
  long value = -1;
  const size_t keyLength = strlen(key);
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
      value = atol(line + keyLength + 1);
      break;
    }
  }
  fclose(f);
  return value;
}

/* One 64-byte message out and back on every connection, all in flight together. */
static int EchoEach(const int* fds, int count) {
  char message[64], answer[64];
  int good = 0;
  for (int i = 0; i < count; ++i) {
    snprintf(message, sizeof message, "%063d", i);
    SendAll(fds[i], message, 64);
  }
  /* Bounded as a whole: connections the relay never took would each wait their full time-out. */
  const double deadline = Now() + 30;
  for (int i = 0; i < count && Now() < deadline; ++i) {
    snprintf(message, sizeof message, "%063d", i);
    if (ReceiveAll(fds[i], answer, 64) && memcmp(message, answer, 64) == 0) ++good;
  }
  return good;
}

static int Hold(int port, int count, int pid) {
  RaiseFileLimit();
  int* fds = malloc(sizeof(int) * (size_t)count);
  sleep(1);
  const long before = ReadStatus(pid, "VmRSS");
  const long threadsBefore = ReadStatus(pid, "Threads");
  const double start = Now();
  int opened = 0;
  for (; opened < count && Now() < start + 60; ++opened) {
    fds[opened] = ConnectTo(port);
    if (fds[opened] < 0) {
      perror("hold: connect");
      break;
    }
  }
  const double connectSeconds = Now() - start;
  /* Every connection carries one exchange, so each is relayed end to end. */
  const int firstEcho = EchoEach(fds, opened);
  sleep(2);
  const long after = ReadStatus(pid, "VmRSS");
  const long threadsAfter = ReadStatus(pid, "Threads");
  const int secondEcho = EchoEach(fds, opened);
  const long afterSecond = ReadStatus(pid, "VmRSS");
  for (int i = 0; i < opened; ++i) close(fds[i]);
  printf("connections=%d connect_s=%.2f echoed_first=%d echoed_after_idle=%d rss_before_kib=%ld "
         "rss_after_kib=%ld rss_after_second_echo_kib=%ld threads_before=%ld threads_after=%ld "
         "kib_per_connection=%.1f\n",
         opened, connectSeconds, firstEcho, secondEcho, before, after, afterSecond, threadsBefore, threadsAfter,
         opened > 0 ? (double)(afterSecond - before) / opened : 0.0);
  return 0;
}

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc == 4 && strcmp(argv[1], "echo") == 0) return Echo(atoi(argv[2]), atof(argv[3]));
  if (argc == 5 && strcmp(argv[1], "rate") == 0) return Rate(atoi(argv[2]), atof(argv[3]), atoi(argv[4]));
  if (argc == 5 && strcmp(argv[1], "latency") == 0) return Latency(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
  if (argc == 5 && strcmp(argv[1], "hold") == 0) return Hold(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
  fprintf(stderr, "usage: relayprobe echo PORT SECONDS | rate PORT SECONDS THREADS | latency PORT COUNT SIZE | "
                  "hold PORT COUNT PID\n");
  return 2;
}
