// minimal_client: the dialogue snpp-send has for one level-1 style page, and nothing else, on
// plain POSIX sockets. It is what snpp-send's start-to-exit time is compared with.
//
//   minimal_client PORT PAGER MESSAGE
//
// Connects to 127.0.0.1:PORT with TCP_NODELAY, expects 220, then writes PAGE, MESS, SEND and
// QUIT, one command per reply, expecting 250, 250, 250 and 221; prints "delivered: <reply>" and
// exits 0, or says what went wrong and exits 1. A reply that takes over five seconds fails.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int fd = -1;
char input[4096];
size_t input_len = 0;

// Reads one reply line (up to LF) into `line`; false on error, EOF or time-out.
bool ReadLine(char* line, size_t size) {
  for (;;) {
    if (void* lf = std::memchr(input, '\n', input_len)) {
      const size_t n = static_cast<size_t>(static_cast<char*>(lf) - input) + 1;
      const size_t copy = n < size - 1 ? n : size - 1;
      std::memcpy(line, input, copy);
      line[copy] = '\0';
      std::memmove(input, input + n, input_len - n);
      input_len -= n;
      return true;
    }
    if (input_len == sizeof input) return false;
    const ssize_t got = read(fd, input + input_len, sizeof input - input_len);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    input_len += static_cast<size_t>(got);
  }
}

bool WriteAll(const char* text, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Writes `command` (already ending in CR LF) unless it is null, then expects a reply starting
// with `code`; the reply is left in `reply`.
bool Step(const char* command, const char* code, char* reply, size_t size) {
  if (command && !WriteAll(command, std::strlen(command))) {
    std::fprintf(stderr, "minimal_client: write failed: %s\n", std::strerror(errno));
    return false;
  }
  if (!ReadLine(reply, size)) {
    std::fprintf(stderr, "minimal_client: no reply from the server\n");
    return false;
  }
  if (std::strncmp(reply, code, 3) != 0) {
    std::fprintf(stderr, "minimal_client: unexpected reply: %s", reply);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: minimal_client PORT PAGER MESSAGE\n");
    return 2;
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    std::fprintf(stderr, "minimal_client: cannot connect: %s\n", std::strerror(errno));
    return 1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

  char page[512], mess[512], reply[4096], delivered[4096];
  std::snprintf(page, sizeof page, "PAGE %s\r\n", argv[2]);
  std::snprintf(mess, sizeof mess, "MESS %s\r\n", argv[3]);
  const bool ok = Step(nullptr, "220", reply, sizeof reply) &&
                  Step(page, "250", reply, sizeof reply) &&
                  Step(mess, "250", reply, sizeof reply) &&
                  Step("SEND\r\n", "250", delivered, sizeof delivered) &&
                  Step("QUIT\r\n", "221", reply, sizeof reply);
  close(fd);
  if (!ok) return 1;
  delivered[std::strcspn(delivered, "\r\n")] = '\0';
  std::printf("delivered: %s\n", delivered);
  return 0;
}
