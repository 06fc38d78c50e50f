// Load tool of the port-mapping benchmark (loopback only).
//   portmap_load origin <port>            serves until killed
//   portmap_load bulk <port> <bytes> [n]  one transfer, received n bytes at
//                                         a time (default 256 KiB); prints MiB/s
//   portmap_load short <port> <count>     connect, 1 KiB each way, close;
//                                         4 clients at once; prints conn/s
// Protocol: the client's first byte 'B' plus 8 bytes of size asks the
// origin for that many bytes; 'E' plus 1023 bytes asks for 1024 back; 'G'
// starts an HTTP/1.0 GET (for ab), answered with 512 bytes, then closed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kEcho = 1024;

bool ReadFull(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteFull(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int Connect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Reads the rest of a request head (up to 8 KiB) and answers it.
void ServeHttp(int fd) {
  std::string head = "G";
  char buf[1024];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) return;
    head.append(buf, static_cast<size_t>(r));
  }
  static const std::string reply =
      "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 512\r\n\r\n" +
      std::string(512, 'x');
  WriteFull(fd, reply.data(), reply.size());
}

void Serve(int fd) {
  char kind;
  if (!ReadFull(fd, &kind, 1)) return close(fd), void();
  if (kind == 'G') {
    ServeHttp(fd);
  } else if (kind == 'B') {
    uint64_t size;
    if (ReadFull(fd, reinterpret_cast<char*>(&size), sizeof size)) {
      std::vector<char> block(64 * 1024, 'x');
      while (size > 0) {
        size_t n = size < block.size() ? size : block.size();
        if (!WriteFull(fd, block.data(), n)) break;
        size -= n;
      }
    }
  } else {
    char buf[kEcho];
    if (ReadFull(fd, buf, kEcho - 1)) WriteFull(fd, buf, kEcho);
  }
  shutdown(fd, SHUT_WR);
  char sink[256];
  while (recv(fd, sink, sizeof sink, 0) > 0) {
  }
  close(fd);
}

int Origin(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 512) != 0) {
    perror("origin");
    return 1;
  }
  for (;;) {
    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread(Serve, c).detach();
  }
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int Bulk(uint16_t port, uint64_t size, size_t receive_size) {
  auto start = std::chrono::steady_clock::now();
  int fd = Connect(port);
  if (fd < 0) return 1;
  char request[9] = {'B'};
  std::memcpy(request + 1, &size, sizeof size);
  WriteFull(fd, request, sizeof request);
  uint64_t got = 0;
  std::vector<char> buf(receive_size);
  for (;;) {
    ssize_t r = recv(fd, buf.data(), buf.size(), 0);
    if (r <= 0) break;
    got += static_cast<uint64_t>(r);
  }
  close(fd);
  double s = Seconds(start);
  if (got != size) {
    std::fprintf(stderr, "bulk: got %llu of %llu bytes\n", static_cast<unsigned long long>(got),
                 static_cast<unsigned long long>(size));
    return 1;
  }
  std::printf("%.1f\n", static_cast<double>(got) / (1024.0 * 1024.0) / s);
  return 0;
}

int Short(uint16_t port, int count) {
  constexpr int kClients = 4;
  std::atomic<int> next{0}, failed{0};
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([&] {
      std::string out(kEcho, 'E');
      char in[kEcho];
      while (next.fetch_add(1) < count) {
        int fd = Connect(port);
        if (fd < 0 || !WriteFull(fd, out.data(), kEcho) || !ReadFull(fd, in, kEcho)) ++failed;
        if (fd >= 0) close(fd);
      }
    });
  }
  for (auto& c : clients) c.join();
  double s = Seconds(start);
  if (failed > 0) std::fprintf(stderr, "short: %d of %d failed\n", failed.load(), count);
  std::printf("%.0f\n", (count - failed.load()) / s);
  return failed > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string mode = argv[1];
  uint16_t port = static_cast<uint16_t>(std::atoi(argv[2]));
  if (mode == "origin") return Origin(port);
  if (mode == "bulk" && argc > 3) {
    size_t receive_size = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 256 * 1024;
    if (receive_size == 0) return 2;
    return Bulk(port, std::strtoull(argv[3], nullptr, 10), receive_size);
  }
  if (mode == "short" && argc > 3) return Short(port, std::atoi(argv[3]));
  return 2;
}
