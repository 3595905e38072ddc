/* The CONNECT tunnel benchmark's client and servers, all on loopback.
 *
 *   tunnelprobe sink PORT                      counts what each connection sends up to and
 *                                              with the end mark 'E'; then answers the count
 *                                              (8 bytes). A mark rather than a half-close, which
 *                                              not every proxy passes on
 *   tunnelprobe echo PORT                      echoes every connection
 *   tunnelprobe stream DEST PROXY STREAMS SECS  STREAMS connections to DEST (through the CONNECT
 *                                              proxy on PROXY, or directly when PROXY is 0) send
 *                                              for SECS seconds; prints the bytes the sink
 *                                              counted as gbit_s=
 *   tunnelprobe rate DEST PROXY CLIENTS SECS    CLIENTS threads open tunnels to the echo server
 *                                              DEST one after another for SECS seconds (connect,
 *                                              CONNECT, the proxy's answer, one byte there and
 *                                              back, close); prints rate= tunnels per second
 *
 * Every socket operation has a time-out (SO_RCVTIMEO/SO_SNDTIMEO of 10 s).
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum { kBuffer = 256 * 1024 };

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void timeouts(int fd) {
  struct timeval tv = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

static int dial(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  timeouts(fd);
  struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static int write_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n <= 0) return -1;
    data += n;
    length -= (size_t)n;
  }
  return 0;
}

/* A connection to dest, through the proxy's CONNECT when proxy is not 0:
 * the descriptor once the tunnel stands, or -1. */
static int open_path(int dest, int proxy) {
  if (proxy == 0) return dial(dest);
  int fd = dial(proxy);
  if (fd < 0) return -1;
  char request[128];
  int length = snprintf(request, sizeof request, "CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n",
                        dest, dest);
  if (write_all(fd, request, (size_t)length) != 0) goto fail;
  /* The answer's head, read byte by byte so that nothing of the tunnel is taken. */
  char head[1024];
  size_t got = 0;
  while (got < sizeof head - 1) {
    ssize_t n = recv(fd, head + got, 1, 0);
    if (n <= 0) goto fail;
    got += (size_t)n;
    head[got] = 0;
    if (got >= 4 && memcmp(head + got - 4, "\r\n\r\n", 4) == 0) break;
  }
  if (strncmp(head, "HTTP/1.", 7) != 0 || strncmp(head + 8, " 200", 4) != 0) {
    fprintf(stderr, "proxy answered: %.60s\n", head);
    goto fail;
  }
  return fd;
fail:
  close(fd);
  return -1;
}

/* ---- servers: a thread per connection */

static int listen_on(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, (struct sockaddr*)&address, sizeof address) != 0 || listen(fd, 4096) != 0) {
    perror("listen");
    exit(1);
  }
  return fd;
}

static void* sink_one(void* argument) {
  int fd = (int)(intptr_t)argument;
  char* buffer = malloc(kBuffer);
  uint64_t total = 0;
  for (;;) {
    ssize_t n = recv(fd, buffer, kBuffer, 0);
    if (n <= 0) break;
    total += (uint64_t)n;
    if (memchr(buffer, 'E', (size_t)n) != NULL) {
      write_all(fd, (const char*)&total, sizeof total);
      break;
    }
  }
  free(buffer);
  close(fd);
  return NULL;
}

static void* echo_one(void* argument) {
  int fd = (int)(intptr_t)argument;
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0 || write_all(fd, buffer, (size_t)n) != 0) break;
  }
  close(fd);
  return NULL;
}

static void serve(int port, void* (*body)(void*)) {
  int listener = listen_on(port);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) {
      if (errno == EINTR || errno == EMFILE || errno == ENFILE) continue;
      perror("accept");
      exit(1);
    }
    /* No time-out on the servers' reads: an idle sender is no error here. */
    pthread_t thread;
    if (pthread_create(&thread, &attributes, body, (void*)(intptr_t)fd) != 0) close(fd);
  }
}

/* ---- clients */

struct job {
  int dest, proxy;
  double seconds;
  uint64_t counted; /* stream: bytes the sink counted */
  uint64_t done;    /* rate: tunnels completed */
  int failed;
};

static void* stream_one(void* argument) {
  struct job* job = argument;
  int fd = open_path(job->dest, job->proxy);
  if (fd < 0) {
    job->failed = 1;
    return NULL;
  }
  char* buffer = malloc(kBuffer);
  memset(buffer, 'x', kBuffer);
  double end = now() + job->seconds;
  while (now() < end) {
    if (write_all(fd, buffer, kBuffer) != 0) {
      job->failed = 1;
      break;
    }
  }
  const char mark = 'E';
  if (write_all(fd, &mark, 1) != 0) job->failed = 1;
  uint64_t total = 0;
  size_t got = 0;
  while (got < sizeof total) {
    ssize_t n = recv(fd, (char*)&total + got, sizeof total - got, 0);
    if (n <= 0) break;
    got += (size_t)n;
  }
  if (got != sizeof total) job->failed = 1;
  job->counted = total;
  free(buffer);
  close(fd);
  return NULL;
}

static void* rate_one(void* argument) {
  struct job* job = argument;
  double end = now() + job->seconds;
  while (now() < end) {
    int fd = open_path(job->dest, job->proxy);
    if (fd < 0) {
      job->failed++;
      continue;
    }
    char byte = 'x';
    if (write_all(fd, &byte, 1) == 0 && recv(fd, &byte, 1, 0) == 1) {
      job->done++;
    } else {
      job->failed++;
    }
    close(fd);
  }
  return NULL;
}

static void run(void* (*body)(void*), int dest, int proxy, int threads, double seconds, int streaming) {
  pthread_t* ids = calloc((size_t)threads, sizeof *ids);
  struct job* jobs = calloc((size_t)threads, sizeof *jobs);
  double start = now();
  for (int i = 0; i < threads; ++i) {
    jobs[i] = (struct job){.dest = dest, .proxy = proxy, .seconds = seconds};
    pthread_create(&ids[i], NULL, body, &jobs[i]);
  }
  uint64_t counted = 0, done = 0, failed = 0;
  for (int i = 0; i < threads; ++i) {
    pthread_join(ids[i], NULL);
    counted += jobs[i].counted;
    done += jobs[i].done;
    failed += (uint64_t)jobs[i].failed;
  }
  double elapsed = now() - start;
  if (streaming) {
    printf("gbit_s=%.2f bytes=%llu seconds=%.2f failed=%llu\n", (double)counted * 8 / elapsed / 1e9,
           (unsigned long long)counted, elapsed, (unsigned long long)failed);
  } else {
    printf("rate=%.0f tunnels=%llu seconds=%.2f failed=%llu\n", (double)done / elapsed, (unsigned long long)done,
           elapsed, (unsigned long long)failed);
  }
  free(ids);
  free(jobs);
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "sink") == 0) serve(atoi(argv[2]), sink_one);
  if (argc == 3 && strcmp(argv[1], "echo") == 0) serve(atoi(argv[2]), echo_one);
  if (argc == 6 && (strcmp(argv[1], "stream") == 0 || strcmp(argv[1], "rate") == 0)) {
    int streaming = strcmp(argv[1], "stream") == 0;
    run(streaming ? stream_one : rate_one, atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atof(argv[5]), streaming);
    return 0;
  }
  fprintf(stderr, "usage: see the comment at the top of tunnelprobe.c\n");
  return 2;
}
