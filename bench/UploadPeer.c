/* Both ends of an upload, for the upload benchmark. A client that sends one file as a
 * multipart/form-data POST with sendfile(), so that the sending side copies nothing and
 * never limits what the server is measured at; and a receiver that takes such a POST with
 * nothing but recv() and write() into a file: the best a server that reads its sockets with
 * recv() can do on this machine.
 *
 *   upload_peer send PORT PATH FILE   prints the seconds from connect to the answer's end,
 *                                     then the answer's status line
 *   upload_peer sink PORT FILE        answers POSTs on PORT until killed, writing each body
 *                                     over FILE (truncated before each answer, not after)
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const char boundary[] = "----OrvaneBenchBoundary7MA4YWxkTrZu0gW";

static struct sockaddr_in loopback(int port)
{
  struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((unsigned short)port)};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

static double now(void)
{
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int sendAll(int fd, const char* data, size_t length, int flags)
{
  while (length > 0) {
    ssize_t sent = send(fd, data, length, flags);
    if (sent <= 0) {
      return -1;
    }
    data += sent;
    length -= (size_t)sent;
  }
  return 0;
}

static int upload(int port, const char* path, const char* file)
{
  int input = open(file, O_RDONLY);
  struct stat status;
  if (input < 0 || fstat(input, &status) != 0) {
    perror(file);
    return 1;
  }
  char part[512], tail[128], head[1024];
  int partLength = snprintf(part, sizeof part,
                            "--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"upload.bin\"\r\n"
                            "Content-Type: application/octet-stream\r\n\r\n",
                            boundary);
  int tailLength = snprintf(tail, sizeof tail, "\r\n--%s--\r\n", boundary);
  int headLength = snprintf(head, sizeof head,
                            "POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; boundary=%s\r\n"
                            "Content-Length: %lld\r\nConnection: close\r\n\r\n",
                            path, boundary, (long long)(partLength + status.st_size + tailLength));
  double start = now();
  int server = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = loopback(port);
  if (connect(server, (struct sockaddr*)&address, sizeof address) != 0) {
    perror("connect");
    return 1;
  }
  if (sendAll(server, head, (size_t)headLength, MSG_MORE) != 0 ||
      sendAll(server, part, (size_t)partLength, MSG_MORE) != 0) {
    perror("send");
    return 1;
  }
  off_t offset = 0;
  while (offset < status.st_size) {
    if (sendfile(server, input, &offset, (size_t)(status.st_size - offset)) <= 0) {
      perror("sendfile");
      return 1;
    }
  }
  if (sendAll(server, tail, (size_t)tailLength, 0) != 0) {
    perror("send");
    return 1;
  }
  char answer[4096];
  size_t received = 0;
  ssize_t count;
  while ((count = recv(server, answer + received, sizeof answer - 1 - received, 0)) > 0) {
    received += (size_t)count;
  }
  answer[received] = '\0';
  printf("%.3f %.*s\n", now() - start, (int)strcspn(answer, "\r\n"), answer);
  return 0;
}

static int sink(int port, const char* file)
{
  int listener = socket(AF_INET, SOCK_STREAM, 0), on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in address = loopback(port);
  if (bind(listener, (struct sockaddr*)&address, sizeof address) != 0 || listen(listener, 8) != 0) {
    perror("listen");
    return 1;
  }
  static char buffer[1 << 20];
  for (;;) {
    int client = accept(listener, NULL, NULL);
    int output = open(file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    size_t have = 0;
    long long body = -1, received = 0;
    while (body < 0 && have < sizeof buffer - 1) {
      ssize_t count = recv(client, buffer + have, sizeof buffer - 1 - have, 0);
      if (count <= 0) {
        break;
      }
      have += (size_t)count;
      buffer[have] = '\0';
      char* end = strstr(buffer, "\r\n\r\n");
      char* length = strcasestr(buffer, "\r\nContent-Length:");
      if (end != NULL && length != NULL) {
        body = atoll(length + 17);
        received = (long long)(have - (size_t)(end + 4 - buffer));
        write(output, end + 4, (size_t)received);
      }
    }
    while (received < body) {
      ssize_t count = recv(client, buffer, sizeof buffer, 0);
      if (count <= 0) {
        break;
      }
      write(output, buffer, (size_t)count);
      received += count;
    }
    ftruncate(output, 0);
    close(output);
    const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    sendAll(client, answer, sizeof answer - 1, MSG_NOSIGNAL);
    close(client);
  }
}

int main(int argc, char** argv)
{
  if (argc == 5 && strcmp(argv[1], "send") == 0) {
    return upload(atoi(argv[2]), argv[3], argv[4]);
  }
  if (argc == 4 && strcmp(argv[1], "sink") == 0) {
    return sink(atoi(argv[2]), argv[3]);
  }
  fprintf(stderr, "usage: upload_peer send PORT PATH FILE | upload_peer sink PORT FILE\n");
  return 2;
}
