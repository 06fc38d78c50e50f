// The direct relay on loopback with curl, raw sockets and scripted origins.
#include "proxy/relay.h"

#include <gtest/gtest.h>

#include "lib/net_context.h"
#include "proxy/scripted_origin.h"

namespace netrove {
namespace {

using namespace netrove::testing;
using namespace std::string_literals;

const char kErrorPage[] = "<H1>Host connection error</H1>";

struct CurlResult {
  std::optional<int> status;
  std::string head, body, err;
  int64_t ms = 0;
};

// Receives wait 2.5 s, a header block 1 s, the error page drains 200 ms.
class RelayTest : public ::testing::Test {
 protected:
  RelayTest() {
    ctx_.SetTimings([](NetTimings& t) { t.receive_timeout_ms = t.send_timeout_ms = 2500; });
    EXPECT_TRUE(relay_.Start());
    port_ = relay_.RelayPort();
  }
  RelayOptions Options() {
    RelayOptions o;
    o.drain.silence_ms = 200;
    o.header_deadline_ms = 1000;
    o.request_body_block = [this](size_t n) {
      std::lock_guard<std::mutex> lock(mu_);
      blocks_.push_back(n);
    };
    return o;
  }
  std::string File(const std::string& name) { return ctx_.scratch / name; }
  // curl through the relay (15 s at most): headers and body of its first URL.
  CurlResult Curl(std::vector<std::string> args) {
    for (const char* f : {"head", "body"}) std::filesystem::remove(File(f));
    args.insert(args.begin(),
                {"curl", "-sS", "--max-time", "10", "-x", "127.0.0.1:" + std::to_string(port_),
                 "-D", File("head"), "-o", File("body"), "-H", relay_.SecretHeaderLine()});
    auto start = SteadyClock::now();
    std::unique_ptr<Process> p = ctx_.env.Spawn(args, {}, File("err"));
    std::optional<int> status;
    if (p) WaitUntil([&] { return (status = p->Poll()).has_value(); }, 15000);
    return {status, ctx_.Read(File("head")), ctx_.Read(File("body")), ctx_.Read(File("err")),
            MsSince(start)};
  }
  std::string Get(const std::string& url, const std::string& more = "") {
    return "GET " + url + " HTTP/1.1\r\n" + relay_.SecretHeaderLine() + "\r\n" + more + "\r\n";
  }

  NetTestContext ctx_;
  std::mutex mu_;
  std::vector<size_t> blocks_;  // guarded by mu_
  HttpRelay relay_{ctx_.net, Options()};
  uint16_t port_ = 0;
};

// Only requests with the secret pass; it, Proxy-Connection and
// Proxy-Authorization stay here. A tunnel to a plain origin (the end-to-end
// test tunnels TLS through the whole program).
TEST_F(RelayTest, SecretRefusedRequestsAndTunnels) {
  TcpOrigin plain("HTTP/1.0 200 OK\r\n\r\norigin page");
  int tunnel = ConnectLoopback(port_);
  ASSERT_TRUE(SendAll(tunnel, "CONNECT " + plain.host() + " HTTP/1.1\r\n" +
                                  relay_.SecretHeaderLine() + "\r\n\r\n"));
  EXPECT_EQ(ReadAll(tunnel, 3000, 39), "HTTP/1.0 200 Connection established\r\n\r\n");
  ASSERT_TRUE(SendAll(tunnel, "GET / HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(ReadAll(tunnel, 3000), "HTTP/1.0 200 OK\r\n\r\norigin page");
  close(tunnel);
  ScriptedOrigin origin([](int fd, auto&, auto&) { return SendAll(fd, LengthReply("ok")); });
  const std::string url = "http://" + origin.host() + "/p?q=1";
  EXPECT_EQ(
      Curl({"-H", "Proxy-Connection: keep-alive", "-H", "Proxy-Authorization: Basic eDp5", url})
          .body,
      "ok");
  std::string many;
  for (int i = 0; i < 700; ++i) many += "X-Filler: " + std::string(90, 'f') + "\r\n";
  for (auto [request, want] : std::vector<std::pair<std::string, std::string>>{
           {"GET " + url + " HTTP/1.1\r\n\r\n", kErrorPage},  // no secret
           {"GET " + url + " HTTP/1.1\r\nX-Netrove-Relay: 0123\r\n\r\n", kErrorPage},
           {"PUT " + url + " HTTP/1.0\r\n\r\n", kErrorPage},
           {"GET " + url + "\r\n\r\n", "<H1>Support only HTTP 1.0 request</H1>"},
           {Get("ftp://127.0.0.1/pub/f"), kErrorPage},  // no FTP handler
           {Get(url, many), kErrorPage},
           {Get(url + std::string(70000, 'x')), kErrorPage},
           {Get(url, "Content-Length: -5\r\n"), kErrorPage},
           {Get(url, "Transfer-Encoding: chunked\r\n"), kErrorPage}}) {
    std::string got = Ask(port_, request, "127.0.0.1", false, 5000);
    EXPECT_TRUE(got.starts_with(kNotFoundHeader) && got.find(want) < got.size())
        << request.substr(0, 50) << got.substr(0, 50);
  }
  ASSERT_EQ(origin.requests().size(), 1u);
  const std::string seen = origin.requests()[0].first;
  EXPECT_TRUE(seen.starts_with("GET /p?q=1 HTTP/1.1\r\n")) << seen;
  for (const char* gone : {"X-Netrove-Relay", "Proxy-Connection", "Proxy-Authorization"})
    EXPECT_EQ(seen.find(gone), std::string::npos) << seen;
  RelayOptions options;
  options.ftp = [](SocketVar& client, const std::string& url) {
    (void)SendLine(client, "listing of " + url);
  };
  HttpRelay ftp(ctx_.net, options);
  ASSERT_TRUE(ftp.Start());
  EXPECT_EQ(
      Ask(ftp.RelayPort(), "GET ftp://h/pub/ HTTP/1.0\r\n" + ftp.SecretHeaderLine() + "\r\n\r\n",
          "127.0.0.1", false),
      "listing of ftp://h/pub/\r\n");
}

// A "0" line in chunk data ends nothing; 302 and 304 pass at once; a POST
// goes in blocks of 1025; one origin connection a host until another's;
// a HEAD awaits no body.
TEST_F(RelayTest, BodiesAndOriginConnections) {
  const std::string data = "first\r\n0\r\n\r\nlast line";
  ScriptedOrigin a([&](int fd, const std::string& head, const std::string& body) {
    std::string path = PathOf(head);
    if (path == "/chunked")
      return SendAll(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n15\r\n" + data +
                             "\r\n3\r\nend\r\n0\r\n\r\n");
    if (path == "/moved") return SendAll(fd, "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n");
    if (path == "/same") return SendAll(fd, "HTTP/1.1 304 Not Modified\r\nETag: \"e\"\r\n\r\n");
    if (path == "/close") return !SendAll(fd, LengthReply("ok", "Connection: close\r\n"));
    if (head.starts_with("HEAD")) {
      const std::string reply = LengthReply("a" + path);
      return SendAll(fd, reply.substr(0, reply.find("\r\n\r\n") + 4));
    }
    return SendAll(
        fd, LengthReply("a" + path + (body.empty() ? "" : " " + std::to_string(body.size()))));
  });
  ScriptedOrigin b([](int fd, const std::string& head, auto&) {
    return SendAll(fd, LengthReply("b" + PathOf(head)));
  });
  const std::string ua = "http://" + a.host(), ub = "http://" + b.host();
  CurlResult r = Curl({ua + "/chunked", ua + "/2", "-o", File("2"), ub + "/3", "-o", File("3"),
                       ua + "/4", "-o", File("4")});
  EXPECT_EQ(r.body + ctx_.Read(File("2")) + ctx_.Read(File("3")) + ctx_.Read(File("4")),
            data + "enda/2b/3a/4")
      << r.err;
  EXPECT_EQ(std::pair(a.connections.load(), b.connections.load()), std::pair(2, 1));
  EXPECT_LT(r.ms, 2000);
  for (const char* path : {"/moved", "/same"}) {
    CurlResult nobody = Curl({ua + path});
    EXPECT_TRUE(nobody.status == 0 && nobody.ms < 2000) << path << nobody.err;
  }
  EXPECT_EQ(Curl({ua + "/close"}).head,
            "HTTP/1.1 200 OK\r\nConnection: close\r\nProxy-Connection: close\r\n"
            "Connection: close\r\nContent-Length: 2\r\n\r\n");
  std::string post;
  for (int i = 0; i < 3000; ++i) post.push_back(static_cast<char>(i % 251));
  WriteFile(File("post.bin"), post);
  EXPECT_EQ(Curl({"-H", "Expect:", "--data-binary", "@" + File("post.bin"), ua + "/form"}).body,
            "a/form 3000");
  EXPECT_EQ(a.requests().back().second, post);
  CurlResult head = Curl({"-I", ua + "/h"});  // no body is awaited after a HEAD
  EXPECT_TRUE(head.status == 0 && head.ms < 2000) << head.err;
  std::lock_guard<std::mutex> lock(mu_);
  EXPECT_EQ(blocks_, (std::vector<size_t>{1025, 1025, 950}));
}

// Each ends in its bound, with the error page while no header went out.
TEST_F(RelayTest, HostileOriginsEndRequestsInBoundedTime) {
  auto held = [](std::string reply) {
    return [reply](int fd, auto&, auto&) {
      return SendAll(fd, reply) && ReadAll(fd, 4000).empty() && false;
    };
  };
  std::string junk = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 8000; ++i) junk += "X-Junk: 0123456789abcdef\r\n";
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string short_body = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly this";
  struct Case {
    ScriptedOrigin::Answer answer;
    std::string want;
    int64_t max_ms;
  } cases[] = {
      {held(junk), kErrorPage, 1500},  // endless header lines
      {held("HTTP/1.1 200 OK\r\nX-Long: " + std::string(100000, 'a')), kErrorPage, 1500},
      {held(chunked + "ffffffffffff\r\nabc"), chunked, 1500},
      {[](int fd, auto&, auto&) {  // a header trickled a byte at a time
         for (int i = 0; i < 100 && SendAll(fd, "HTTP/1.1 200 OK\r\n"s.substr(i % 17, 1)); ++i)
           std::this_thread::sleep_for(Ms(50));
         return false;
       },
       kErrorPage, 2000},
      {held(short_body), short_body, 4000},  // the receive time-out ends it
      {[&](int fd, auto&, auto&) { return SendAll(fd, short_body) && false; }, short_body, 1500},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    ScriptedOrigin origin(cases[i].answer);
    auto start = SteadyClock::now();
    std::string got = Ask(port_, Get("http://" + origin.host() + "/"), "127.0.0.1", false, 8000);
    EXPECT_LT(MsSince(start), cases[i].max_ms) << i;
    EXPECT_NE(got.find(cases[i].want), std::string::npos) << i << ": " << got.substr(0, 60);
    EXPECT_LT(got.size(), 70000u) << i;
  }
  ScriptedOrigin good([](int fd, auto&, auto&) { return SendAll(fd, LengthReply("fine")); });
  EXPECT_EQ(Curl({"http://" + good.host() + "/"}).body, "fine");
}

}  // namespace
}  // namespace netrove
