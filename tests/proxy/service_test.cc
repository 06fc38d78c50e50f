// The front proxy against upstream peers of our own on loopback: the resend bound, link uses,
// counters, body framing, tunnels to our own ports, the web mail hook (e2e_test.py the rest).
#include <gtest/gtest.h>

#include <optional>

#include "lib/net_context.h"
#include "proxy/proxy_service.h"
#include "proxy/scripted_origin.h"

namespace netrove {
namespace {

using testing::WriteFile;

const std::string kLastModified = "Last-Modified: Wed, 01 Jan 2025 00:00:00 GMT\r\n";
const std::string kFailure = "HTTP/1.0 404 ERROR (D+)\r\n\r\n";

// As a browser asks (no half-close): the answer up to the close or 2 s of silence.
std::string Ask(uint16_t port, const std::string& text) {
  return testing::Ask(port, text, "127.0.0.1", false, 2000);
}

class ProxyServiceTest : public ::testing::Test {
 protected:
  // Starts the proxy with `upstream` as PROXY, the link on-line.
  void Start(const std::string& upstream) {
    WriteFile("proxy.ip", "127.0.0.1\n");
    WriteFile("authpass.usr", "-\n");
    ctx_.config.Update([&](ConfigRecord& r) {
      r.proxy = upstream;
      r.hide_proxy = false;
      r.proxy_cache_dir = ctx_.scratch / "cache";
    });
    ctx_.shared.link_mode = kLinkOnline;
    ProxyServiceOptions options;
    options.port = port_ = testing::FreePort();
    options.web_mail = [](SocketVar& client, const std::string& request) {
      std::string reply = "mail saw " + request.substr(0, request.find('\r'));
      (void)SendBuffer(client, reply.data(), reply.size());
    };
    proxy_.emplace(ctx_.net, ctx_.log, ctx_.console, ctx_.config, options);
    ASSERT_TRUE(proxy_->StartProxyService());
  }
  std::string Get(const std::string& url, const std::string& headers = "") {
    return Ask(port_, "GET " + url + " HTTP/1.0\r\n" + headers + "\r\n");
  }
  bool CacheHas(const std::string& file) {
    return FileExists(ctx_.env, ctx_.scratch / ("cache/h/" + file));
  }

  testing::NetTestContext ctx_;
  std::optional<ProxyService> proxy_;
  uint16_t port_ = 0;
};

TEST_F(ProxyServiceTest, UpstreamAnswersAreBoundedAndEveryRequestHoldsTheLinkOnce) {
  testing::TcpOrigin garbage("garbage\r\n\r\n");
  Start(garbage.host());
  // An upstream that does not speak HTTP/1 is asked twice, not for ever.
  EXPECT_EQ(Get("http://h/a.gif"), kFailure);
  EXPECT_TRUE(testing::WaitUntil([&] { return garbage.served() == 2; }));

  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
  testing::TcpOrigin origin(ok);
  ctx_.config.Update([&](ConfigRecord& r) { r.proxy = origin.host(); });
  for (const char* request :
       {"POST http://h/form HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc",
        "CONNECT h:443 HTTP/1.0\r\n\r\n", "HEAD http://h/b.gif HTTP/1.0\r\n\r\n",
        "GET http://h/c.gif HTTP/1.0\r\nCookie: c=1\r\n\r\n"}) {
    EXPECT_EQ(Ask(port_, request).substr(0, 15), "HTTP/1.0 200 OK") << request;
    EXPECT_TRUE(testing::WaitUntil([&] { return ctx_.net.link_users().Users() == 0; })) << request;
    // A POST is handed over whole: the next hop is to end the connection after it.
    EXPECT_EQ(origin.last_request().find("\r\nConnection: close\r\n") != std::string::npos,
              std::string_view(request).starts_with("POST"))
        << request;
  }
  EXPECT_TRUE(testing::WaitUntil([&] { return origin.served() == 4; }));
  // Neither a HEAD answer nor an answer to a request with a cookie is kept.
  EXPECT_FALSE(CacheHas("b.gif") || CacheHas("c.gif"));

  // Off-line, a remote upstream is not tried at all.
  ctx_.shared.link_mode = kLinkIdle;
  EXPECT_EQ(Get("http://h/d.gif"), kFailure);
  EXPECT_EQ(origin.served(), 4);
  EXPECT_TRUE(testing::WaitUntil([&] { return ctx_.net.link_users().Users() == 0; }));
}

TEST_F(ProxyServiceTest, StoredObjectsCountersTunnelsAndLocalPages) {
  const std::string header =
      "HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 5\r\n" + kLastModified;
  const std::string reply = header + "ETag: \"x\"\r\n\r\nhello";
  testing::TcpOrigin origin(reply);
  Start(origin.host());
  const std::string expected = header + "\r\nhello";  // the ETag line is dropped
  EXPECT_EQ(Get("http://h/a.gif"), expected);
  EXPECT_EQ(proxy_->ProxyNetBytes(), expected.size() + 0u);
  EXPECT_TRUE(CacheHas("a.gif"));
  EXPECT_EQ(Get("http://h/a.gif"), expected);  // from the disk
  EXPECT_EQ(origin.served(), 1);
  EXPECT_EQ(proxy_->ProxyCacheBytes(), expected.size() + 0u);
  // Off-line a stored copy stands in.
  ctx_.shared.link_mode = kLinkIdle;
  EXPECT_EQ(Get("http://h/a.gif"), expected);
  ctx_.shared.link_mode = kLinkOnline;
  // A tunnel to one of our own listening ports is refused; other ports pass.
  for (uint16_t port : {port_, proxy_->RelayPort()}) {
    std::string back =
        Ask(port_, "CONNECT 127.0.0.1:" + std::to_string(port) + " HTTP/1.0\r\n\r\n");
    EXPECT_NE(back.find("Host connection error"), std::string::npos) << port << back;
  }
  EXPECT_EQ(origin.served(), 1);
  EXPECT_EQ(Ask(port_, "CONNECT 127.0.0.1:9 HTTP/1.0\r\n\r\n"), reply);
  // Origin-form requests: "mail" (any port) to the web mail, the rest a page.
  EXPECT_EQ(Ask(port_, "GET /inbox HTTP/1.0\r\nHost: MAIL:3128\r\n\r\n"),
            "mail saw GET /inbox HTTP/1.0");
  EXPECT_NE(Ask(port_, "GET / HTTP/1.0\r\nHost: www\r\n\r\n").find("Wrong host name"),
            std::string::npos);
}

// Chunked bodies and one of a Content-Length between, on one connection each way.
TEST_F(ProxyServiceTest, BodiesEndWhereTheirFramingEndsAndTheConnectionGoesOn) {
  const std::string chunked =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n";
  const std::string answers[] = {chunked, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello",
                                 chunked};
  testing::ScriptedOrigin upstream([&](int fd, const std::string& head, auto&) {
    return testing::SendAll(fd, answers[head.find("k1") != head.npos]);
  });
  Start(upstream.host());
  int fd = testing::ConnectLoopback(port_);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(
        testing::SendAll(fd, "GET http://h/k" + std::to_string(i) + ".gif HTTP/1.0\r\n\r\n"));
    // Well before the upstream would ever close.
    EXPECT_EQ(testing::ReadAll(fd, 1000, answers[i].size()), answers[i]) << i;
  }
  EXPECT_EQ(upstream.connections, 1);  // one upstream connection for all
  // After the keep-alive second the connection is closed.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  (void)testing::SendAll(fd, "GET http://h/k9.gif HTTP/1.0\r\n\r\n");
  EXPECT_EQ(testing::ReadAll(fd, 1000), "");
  close(fd);
  EXPECT_EQ(upstream.requests().size(), 3u);
  EXPECT_TRUE(CacheHas("k0.gif"));
}

}  // namespace
}  // namespace netrove
