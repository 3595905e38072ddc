/* udpprobe: UDP echo server and request/reply client for the UDP relay benchmark.
 *
 *   udpprobe echo PORT SECONDS                      echo server on 127.0.0.1:PORT, stops after SECONDS
 *   udpprobe rate PORT SECONDS CLIENTS SIZE WAIT_MS exchanges per second: each client thread sends a
 *                                                   SIZE-byte request to 127.0.0.1:PORT and waits at most
 *                                                   WAIT_MS for its reply before counting it lost
 *
 * The reply may come from any address (a relay answers from its own port); it must carry the request's
 * sequence number, so a late reply to an exchange already counted lost is read and set aside.
 * Every loop is bounded by a count and a deadline; everything talks to 127.0.0.1 only.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum { kMaxSize = 512 };

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

/* ---- echo server ---- */
static int Echo(int port, double seconds) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in a = Loopback(port);
  if (fd < 0 || bind(fd, (struct sockaddr*)&a, sizeof a) != 0) {
    perror("echo: bind");
    return 1;
  }
  /* A receive returns at least every 200 ms, so the deadline is seen. */
  struct timeval wait = {0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char buffer[65536];
  const double end = Now() + seconds;
  long echoed = 0;
  while (Now() < end) {
    struct sockaddr_in from;
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, (struct sockaddr*)&from, &fromLength);
    if (n < 0) continue;
    if (sendto(fd, buffer, (size_t)n, 0, (struct sockaddr*)&from, fromLength) == n) ++echoed;
  }
  close(fd);
  fprintf(stderr, "echo: %ld datagrams echoed\n", echoed);
  return 0;
}

/* ---- exchange rate ---- */
struct Client {
  pthread_t thread;
  int id;
  int port;
  int size;
  int waitMs;
  double end;
  long done;
  long lost;
  long late;
  double worstUs;
};

static void* ClientMain(void* argument) {
  struct Client* c = argument;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return NULL;
  struct sockaddr_in to = Loopback(c->port);
  char request[kMaxSize], reply[kMaxSize];
  memset(request, 'x', sizeof request);
  for (uint32_t sequence = 1; sequence < 100000000 && Now() < c->end; ++sequence) {
    memcpy(request, &c->id, sizeof c->id);
    memcpy(request + sizeof c->id, &sequence, sizeof sequence);
    const double t0 = Now();
    if (sendto(fd, request, (size_t)c->size, 0, (struct sockaddr*)&to, sizeof to) != c->size) {
      ++c->lost;
      usleep(1000);
      continue;
    }
    const double deadline = t0 + c->waitMs / 1000.0;
    int answered = 0;
    /* Replies to earlier, timed-out requests may arrive first: read on until this one or the time-out. */
    for (int reads = 0; reads < 1000 && !answered; ++reads) {
      const double left = deadline - Now();
      if (left <= 0) break;
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, (int)(left * 1000) + 1) != 1) break;
      ssize_t n = recv(fd, reply, sizeof reply, MSG_DONTWAIT);
      if (n < 0) continue;
      /* Client id and sequence number lead the datagram: equal bytes mean this request's reply. */
      if (n == c->size && memcmp(reply, request, (size_t)c->size) == 0) {
        answered = 1;
      } else {
        ++c->late;
      }
    }
    if (answered) {
      ++c->done;
      const double us = (Now() - t0) * 1e6;
      if (us > c->worstUs) c->worstUs = us;
    } else {
      ++c->lost;
    }
  }
  close(fd);
  return NULL;
}

static int Rate(int port, double seconds, int clients, int size, int waitMs) {
  if (size < 8 || size > kMaxSize) {
    fprintf(stderr, "rate: size must be 8 to %d\n", kMaxSize);
    return 2;
  }
  struct Client* all = calloc((size_t)clients, sizeof *all);
  const double start = Now();
  for (int i = 0; i < clients; ++i) {
    all[i].id = i;
    all[i].port = port;
    all[i].size = size;
    all[i].waitMs = waitMs;
    all[i].end = start + seconds;
    pthread_create(&all[i].thread, NULL, ClientMain, &all[i]);
  }
  long done = 0, lost = 0, late = 0;
  double worst = 0;
  for (int i = 0; i < clients; ++i) {
    pthread_join(all[i].thread, NULL);
    done += all[i].done;
    lost += all[i].lost;
    late += all[i].late;
    if (all[i].worstUs > worst) worst = all[i].worstUs;
  }
  const double elapsed = Now() - start;
  printf("exchanges=%ld lost=%ld late=%ld seconds=%.2f rate=%.0f worst_ms=%.1f\n", done, lost, late, elapsed,
         done / elapsed, worst / 1000);
  free(all);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "echo") == 0) return Echo(atoi(argv[2]), atof(argv[3]));
  if (argc == 7 && strcmp(argv[1], "rate") == 0)
    return Rate(atoi(argv[2]), atof(argv[3]), atoi(argv[4]), atoi(argv[5]), atoi(argv[6]));
  fprintf(stderr, "usage: udpprobe echo PORT SECONDS | rate PORT SECONDS CLIENTS SIZE WAIT_MS\n");
  return 2;
}
