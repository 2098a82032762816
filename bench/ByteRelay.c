/* The least work a proxy can do, for the proxy benchmark: every client connection gets an
 * upstream connection of its own, and bytes go both ways as they come, with no HTTP read or
 * written. Its CPU per request is the floor that the kernel sets on this machine for any
 * proxy that relays through user space with as many threads: two epoll wake-ups, a receive
 * and a send each way. A proxy that reads HTTP does at least this, so a figure below it is
 * noise.
 *
 *   byte_relay LISTEN_PORT UPSTREAM_PORT THREADS   relays until killed
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

enum { bufferBytes = 64 * 1024, maxThreads = 16 };

/* One direction of a pair: what was read from `from` and not yet sent to `to`. */
struct side {
  int from;
  int to;
  char buffer[bufferBytes];
  size_t start;
  size_t end;
  struct side *other;
  int closed;
};

/* Pairs closed within one batch of events are freed after it: a later event of the batch
 * may name them. */
struct closedPairs {
  struct side *pairs[64];
  int count;
};
static __thread struct closedPairs closedPairs;

static int listenSocket;
static int upstreamPort;

static struct sockaddr_in loopback(int port)
{
  struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((unsigned short)port)};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

static void closePair(int epoll, struct side *side)
{
  struct side *other = side->other;
  epoll_ctl(epoll, EPOLL_CTL_DEL, side->from, NULL);
  epoll_ctl(epoll, EPOLL_CTL_DEL, other->from, NULL);
  close(side->from);
  close(other->from);
  side->closed = other->closed = 1;
  closedPairs.pairs[closedPairs.count++] = side < other ? side : other;
}

/* Watches `side->from` for input while its buffer is empty, and `side->to` for room while it
 * is not: level-triggered, so that nothing waiting is missed. */
static void watch(int epoll, struct side *side)
{
  const int waiting = side->end > side->start;
  struct epoll_event event = {.events = waiting ? 0 : EPOLLIN, .data.ptr = side};
  epoll_ctl(epoll, EPOLL_CTL_MOD, side->from, &event);
  struct side *other = side->other;
  const int otherWaiting = other->end > other->start;
  event.events = (otherWaiting ? 0 : EPOLLIN) | (waiting ? EPOLLOUT : 0);
  event.data.ptr = other;
  epoll_ctl(epoll, EPOLL_CTL_MOD, side->to, &event);
}

/* Sends what `side` holds; 0 once the pair is closed. */
static int drain(int epoll, struct side *side)
{
  while (side->end > side->start) {
    const ssize_t sent = send(side->to, side->buffer + side->start, side->end - side->start, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EAGAIN) {
        watch(epoll, side);
        return 1;
      }
      closePair(epoll, side);
      return 0;
    }
    side->start += (size_t)sent;
  }
  side->start = side->end = 0;
  return 1;
}

static void onInput(int epoll, struct side *side)
{
  const ssize_t size = recv(side->from, side->buffer, sizeof side->buffer, 0);
  if (size <= 0) {
    if (size < 0 && errno == EAGAIN) {
      return;
    }
    closePair(epoll, side);
    return;
  }
  side->start = 0;
  side->end = (size_t)size;
  drain(epoll, side);
}

static void acceptConnections(int epoll)
{
  for (;;) {
    const int client = accept4(listenSocket, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) {
      return;
    }
    const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = loopback(upstreamPort);
    if (upstream < 0 || connect(upstream, (struct sockaddr *)&address, sizeof address) != 0) {
      perror("byte_relay: connect");
      close(client);
      if (upstream >= 0) {
        close(upstream);
      }
      continue;
    }
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(upstream, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (fcntl(upstream, F_SETFL, O_NONBLOCK) != 0) {
      close(client);
      close(upstream);
      continue;
    }
    struct side *pair = calloc(2, sizeof *pair);
    if (pair == NULL) {
      close(client);
      close(upstream);
      continue;
    }
    pair[0] = (struct side){.from = client, .to = upstream, .other = &pair[1]};
    pair[1] = (struct side){.from = upstream, .to = client, .other = &pair[0]};
    struct epoll_event event = {.events = EPOLLIN, .data.ptr = &pair[0]};
    epoll_ctl(epoll, EPOLL_CTL_ADD, client, &event);
    event.data.ptr = &pair[1];
    epoll_ctl(epoll, EPOLL_CTL_ADD, upstream, &event);
  }
}

static void *run(void *unused)
{
  (void)unused;
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event event = {.events = EPOLLIN | EPOLLEXCLUSIVE, .data.ptr = NULL};
  epoll_ctl(epoll, EPOLL_CTL_ADD, listenSocket, &event);
  struct epoll_event events[64];
  for (;;) {
    const int count = epoll_wait(epoll, events, 64, -1);
    for (int i = 0; i < count; ++i) {
      struct side *side = events[i].data.ptr;
      if (side != NULL && side->closed) {
        continue;
      }
      if (side == NULL) {
        acceptConnections(epoll);
      } else if ((events[i].events & EPOLLOUT) != 0 && side->other->end > side->other->start) {
        /* `side->from` is the other direction's destination: it has room again. */
        struct side *blocked = side->other;
        if (drain(epoll, blocked) && blocked->end == 0) {
          watch(epoll, blocked);
        }
      } else {
        onInput(epoll, side);
      }
    }
    for (; closedPairs.count > 0; --closedPairs.count) {
      free(closedPairs.pairs[closedPairs.count - 1]);
    }
  }
  return NULL;
}

int main(int argc, char **argv)
{
  if (argc != 4) {
    fprintf(stderr, "usage: byte_relay LISTEN_PORT UPSTREAM_PORT THREADS\n");
    return 2;
  }
  upstreamPort = atoi(argv[2]);
  int threads = atoi(argv[3]);
  threads = threads < 1 ? 1 : threads > maxThreads ? maxThreads : threads;
  listenSocket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(listenSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in address = loopback(atoi(argv[1]));
  if (bind(listenSocket, (struct sockaddr *)&address, sizeof address) != 0 || listen(listenSocket, 1024) != 0) {
    perror("byte_relay: listen");
    return 1;
  }
  pthread_t running[maxThreads];
  for (int i = 0; i < threads; ++i) {
    pthread_create(&running[i], NULL, run, NULL);
  }
  pthread_join(running[0], NULL);
  return 0;
}
