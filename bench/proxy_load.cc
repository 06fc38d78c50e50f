// Load client of the HTTP proxy benchmark (loopback only).
//   proxy_load get <proxy-port> <origin-port> <path> <size> <clients> <count> <seconds>
//              [pid [receive-size]]
// Sends HTTP/1.0 GETs for http://127.0.0.1:<origin-port><path>, one
// connection each, through the proxy on <proxy-port> (absolute URI), or to
// the origin itself when <proxy-port> is 0, from <clients> threads at once
// until <count> requests were started or <seconds> have passed. Every "{n}"
// in <path> becomes a serial number, so each request asks for a new URL.
// A request counts as done when the answer is "200" with exactly <size>
// body bytes (read to Content-Length, or to the close when there is none);
// anything else, or 10 s without progress, is an error. With [pid], that
// process's resident size is sampled every 100 ms while the load runs (0:
// none). Bodies are received [receive-size] bytes at a time (256 KiB).
// Prints one line: req/s, p50 ms, p99 ms, MiB/s of body, done, errors,
// peak RSS in KiB (0 without [pid]).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  uint16_t proxy_port = 0;
  uint16_t origin_port = 0;
  std::string path;
  uint64_t size = 0;
  int clients = 1;
  long count = 1;
  double seconds = 1;
  long pid = 0;
  size_t receive_size = 256 * 1024;
};

int Connect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& s) {
  size_t at = 0;
  while (at < s.size()) {
    ssize_t r = send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
    if (r <= 0) return false;
    at += static_cast<size_t>(r);
  }
  return true;
}

std::string Expand(const std::string& path, long serial) {
  std::string out = path;
  for (size_t at; (at = out.find("{n}")) != std::string::npos;) {
    out.replace(at, 3, std::to_string(serial));
  }
  return out;
}

// One request on a new connection; an empty result means success,
// otherwise what went wrong.
std::string Fetch(const Options& o, long serial, std::vector<char>& buf) {
  std::string host = "127.0.0.1:" + std::to_string(o.origin_port);
  std::string target = Expand(o.path, serial);
  if (o.proxy_port != 0) target = "http://" + host + target;
  std::string request =
      "GET " + target + " HTTP/1.0\r\nHost: " + host + "\r\nUser-Agent: proxy_load\r\n\r\n";
  int fd = Connect(o.proxy_port != 0 ? o.proxy_port : o.origin_port);
  if (fd < 0) return "connect failed";
  std::string error;
  if (!SendAll(fd, request)) error = "send failed";
  std::string head;
  size_t head_end = std::string::npos;
  while (error.empty() && head_end == std::string::npos) {
    ssize_t r = recv(fd, buf.data(), buf.size(), 0);
    if (r <= 0) {
      error = r == 0 ? "closed in the header" : "header time-out or error";
      break;
    }
    head.append(buf.data(), static_cast<size_t>(r));
    head_end = head.find("\r\n\r\n");
    if (head_end == std::string::npos && head.size() > 65536) error = "header too long";
  }
  uint64_t body = 0;
  if (error.empty()) {
    body = head.size() - (head_end + 4);
    head.resize(head_end + 2);
    if (head.compare(0, 5, "HTTP/") != 0 || head.find(" 200 ") > head.find("\r\n")) {
      error = "status " + head.substr(0, head.find("\r\n"));
    }
  }
  // Content-Length, when there is one, ends the body; otherwise the close.
  int64_t length = -1;
  if (error.empty()) {
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    size_t at = lower.find("\r\ncontent-length:");
    if (at != std::string::npos) length = std::atoll(lower.c_str() + at + 17);
  }
  while (error.empty() && (length < 0 || body < static_cast<uint64_t>(length))) {
    size_t want = buf.size();
    if (length >= 0) want = std::min<uint64_t>(want, static_cast<uint64_t>(length) - body);
    ssize_t r = recv(fd, buf.data(), want, 0);
    if (r < 0) error = "body time-out or error";
    if (r <= 0) break;
    body += static_cast<uint64_t>(r);
  }
  close(fd);
  if (error.empty() && body != o.size) {
    error = "body of " + std::to_string(body) + " bytes, not " + std::to_string(o.size);
  }
  return error;
}

long ResidentKiB(long pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

int Get(const Options& o) {
  std::atomic<long> next{0}, errors{0};
  std::atomic<bool> running{true};
  std::mutex mu;
  std::vector<double> latencies;  // milliseconds, guarded by mu
  std::string first_error;        // guarded by mu
  std::atomic<long> peak_rss{0};
  std::thread sampler;
  if (o.pid > 0) {
    sampler = std::thread([&] {
      while (running) {
        peak_rss = std::max(peak_rss.load(), ResidentKiB(o.pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  }
  Clock::time_point start = Clock::now();
  Clock::time_point deadline =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
  std::vector<std::thread> clients;
  for (int t = 0; t < o.clients; ++t) {
    clients.emplace_back([&] {
      std::vector<char> buf(o.receive_size);
      std::vector<double> mine;
      for (long serial; Clock::now() < deadline && (serial = next.fetch_add(1)) < o.count;) {
        Clock::time_point began = Clock::now();
        std::string error = Fetch(o, serial, buf);
        if (!error.empty()) {
          if (errors.fetch_add(1) == 0) {
            std::lock_guard<std::mutex> lock(mu);
            first_error = error;
          }
          continue;
        }
        mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
      }
      std::lock_guard<std::mutex> lock(mu);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  }
  for (auto& c : clients) c.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  running = false;
  if (sampler.joinable()) sampler.join();
  std::sort(latencies.begin(), latencies.end());
  auto percentile = [&](double p) {
    if (latencies.empty()) return 0.0;
    size_t i = static_cast<size_t>(p * static_cast<double>(latencies.size() - 1) + 0.5);
    return latencies[i];
  };
  long done = static_cast<long>(latencies.size());
  if (errors > 0) {
    std::fprintf(stderr, "proxy_load: %ld errors of %ld requests; first: %s\n", errors.load(),
                 done + errors.load(), first_error.c_str());
  }
  std::printf("%.0f %.2f %.2f %.1f %ld %ld %ld\n", done / seconds, percentile(0.50),
              percentile(0.99),
              static_cast<double>(o.size) * static_cast<double>(done) / (1024.0 * 1024.0) / seconds,
              done, errors.load(), peak_rss.load());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 9 || std::string(argv[1]) != "get") {
    std::fprintf(stderr,
                 "usage: proxy_load get PROXY-PORT ORIGIN-PORT PATH SIZE CLIENTS COUNT SECONDS "
                 "[PID [RECEIVE-SIZE]]\n");
    return 2;
  }
  Options o;
  o.proxy_port = static_cast<uint16_t>(std::atoi(argv[2]));
  o.origin_port = static_cast<uint16_t>(std::atoi(argv[3]));
  o.path = argv[4];
  o.size = std::strtoull(argv[5], nullptr, 10);
  o.clients = std::max(1, std::atoi(argv[6]));
  o.count = std::max(1L, std::atol(argv[7]));
  o.seconds = std::max(0.1, std::atof(argv[8]));
  if (argc > 9) o.pid = std::atol(argv[9]);
  if (argc > 10) o.receive_size = std::max(1UL, std::strtoul(argv[10], nullptr, 10));
  return Get(o);
}
