// The SOCKS service on loopback: admission by the two lists, CONNECT and
// BIND, and the refusals that close without a reply. The request reader on
// its own is the fuzz target's (fuzz/gates).
#include "gates/socks.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "lib/net_context.h"
#include "services/services.h"

namespace netrove {
namespace {

using namespace netrove::testing;

std::string Request(int vn, int cd, uint16_t port, const char* dotted, const std::string& user) {
  std::string r = {char(vn), char(cd), char(port >> 8), char(port & 0xFF)};
  const uint32_t a = inet_addr(dotted);
  return r + std::string(reinterpret_cast<const char*>(&a), 4) + user + std::string(1, '\0');
}

std::string Reply(int cd, uint16_t port, const char* dotted) {
  return Request(0, cd, port, dotted, "").substr(0, 8);
}

class SocksTest : public ::testing::Test {
 protected:
  SocksTest() {
    ctx_.shared.link_mode = kLinkOnline;
    ctx_.config.Update([this](ConfigRecord& r) {
      r.socks4 = port_;
      r.hide_socks4 = false;
    });
  }
  bool Start(const char* v4, const char* v5) {
    if (v4) WriteFile(kSocks4ListFile, v4);
    if (v5) WriteFile(kSocks5ListFile, v5);
    return socks_.Start();
  }
  // The bytes from `source`; what comes back within `ms`.
  std::string Ask(const std::string& bytes, const char* source = "127.0.0.1", int ms = 2000) {
    return netrove::testing::Ask(port_, bytes, source, false, ms);
  }

  NetTestContext ctx_;
  const uint16_t port_ = FreeAnyPort();
  const std::string denied_ = "WARNING! 127.0.0.1 Access denied to port " + std::to_string(port_);
  SocksService socks_{ctx_.net, ctx_.log, ctx_.config, SocksOptions{.bind_idle_ms = 1500}};
};

// Either list lets the service start; the version picks the list that
// admits; malformed requests and strangers get no reply and reach nobody.
TEST_F(SocksTest, AdmissionAndMalformedRequests) {
  EXPECT_FALSE(socks_.Start());
  ASSERT_TRUE(Start(nullptr, "127.0.0.2\n"));
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\norigin page");
  const auto o = static_cast<uint16_t>(std::stoi(origin.host().substr(10)));
  const std::string get = "GET / HTTP/1.0\r\n\r\n";
  EXPECT_EQ(Ask(Request(5, 1, o, "127.0.0.1", "u") + get, "127.0.0.2"),
            Reply(90, o, "127.0.0.1") + "HTTP/1.0 200 OK\r\n\r\norigin page");
  EXPECT_EQ(origin.last_request(), get);  // nothing of the request is lost or passed on
  EXPECT_EQ(Ask(Request(4, 1, o, "127.0.0.1", ""), "127.0.0.2"), "");  // socks4.ip unreadable
  EXPECT_EQ(Ask(Request(5, 1, o, "127.0.0.1", ""), "127.0.0.3"), "");
  socks_.Stop();
  ASSERT_TRUE(Start("127.0.0.1\n", nullptr));
  const std::string longest(kMaxSocksUserId, 'u');
  EXPECT_EQ(Ask(Request(4, 1, o, "127.0.0.1", longest) + get).substr(0, 8),
            Reply(90, o, "127.0.0.1"));
  EXPECT_EQ(Ask(Request(5, 1, o, "127.0.0.1", ""), "127.0.0.1"), "");
  EXPECT_TRUE(ctx_.WaitForLine(denied_));
  const int served = origin.served();
  for (const std::string& bad :
       {Request(3, 1, o, "127.0.0.1", ""), Request(4, 3, o, "127.0.0.1", ""),
        Request(4, 1, 0, "127.0.0.1", ""), Request(4, 1, o, "255.255.255.255", ""),
        Request(4, 1, o, "127.0.0.1", longest + "u"),
        Request(4, 1, o, "127.0.0.1", std::string(10000, 'u')), std::string("\x04\x01", 2)})
    EXPECT_EQ(Ask(bad, "127.0.0.1", 1000), "") << bad.size();
  EXPECT_EQ(origin.served(), served);
}

// A refusing address gets 91, and again within the minute even when it
// listens by then; our own listening ports are refused.
TEST_F(SocksTest, ConnectRefusals) {
  ASSERT_TRUE(Start("127.0.0.1\n", ""));
  uint16_t closed = FreePort();
  EXPECT_EQ(Ask(Request(4, 1, closed, "127.0.0.1", "")), Reply(91, closed, "127.0.0.1"));
  const int listening = BindLoopback(closed);  // listens now; the failure is remembered
  ASSERT_GE(listening, 0);
  EXPECT_EQ(Ask(Request(4, 1, closed, "127.0.0.1", "")), Reply(91, closed, "127.0.0.1"));
  close(listening);
  EXPECT_EQ(Ask(Request(4, 1, port_, "127.0.0.1", "")), Reply(91, port_, "127.0.0.1"));
  EXPECT_EQ(Ask(Request(4, 1, port_, "0.0.0.0", "")), Reply(91, port_, "0.0.0.0"));
  EXPECT_TRUE(ctx_.WaitForLine(denied_));
}

// A BIND port relays each arriving connection to the destination; unused,
// it closes after the bind time; four per client; Stop closes the rest.
TEST_F(SocksTest, BindPorts) {
  ASSERT_TRUE(Start("127.0.0.*\n", nullptr));
  TcpOrigin origin("bound reply");
  const auto o = static_cast<uint16_t>(std::stoi(origin.host().substr(10)));
  auto bind = [&](const char* source) -> uint16_t {  // the port granted, 0 for a refusal
    std::string reply = Ask(Request(4, 2, o, "127.0.0.1", ""), source) + std::string(8, '\1');
    const uint16_t port = static_cast<uint16_t>((uint8_t(reply[2]) << 8) | uint8_t(reply[3]));
    return reply.substr(0, 8) == Reply(kSocksGranted, port, "0.0.0.0") ? port : 0;
  };
  const uint16_t first = bind("127.0.0.1");
  ASSERT_NE(first, 0);
  EXPECT_EQ(netrove::testing::Ask(first, "hello\r\n\r\n", "127.0.0.5", false), "bound reply");
  EXPECT_EQ(origin.last_request(), "hello\r\n\r\n");
  EXPECT_TRUE(WaitUntil([&] { return socks_.OpenBinds() == 0; }));  // idle after the relay
  EXPECT_EQ(netrove::testing::Ask(first, "late", "127.0.0.5", false, 500), "<refused>");
  std::vector<uint16_t> ports = {bind("127.0.0.1"), bind("127.0.0.1"), bind("127.0.0.1"),
                                 bind("127.0.0.1")};
  EXPECT_EQ(std::count(ports.begin(), ports.end(), 0), 0);
  EXPECT_EQ(bind("127.0.0.1"), 0);  // the fifth
  // A BIND port of ours is no destination either.
  EXPECT_EQ(Ask(Request(4, 2, ports[0], "127.0.0.1", ""), "127.0.0.2"),
            Reply(91, ports[0], "127.0.0.1"));
  const uint16_t other = bind("127.0.0.2");
  EXPECT_NE(other, 0);
  EXPECT_EQ(socks_.OpenBinds(), 5);
  socks_.Stop();
  EXPECT_EQ(socks_.OpenBinds(), 0);
  EXPECT_EQ(netrove::testing::Ask(other, "late", "127.0.0.5", false, 500), "<refused>");
}

// The services' row reports SOCKS by its log name; a real client, curl,
// reaches an origin through it.
TEST(SocksServiceRowTest, ReportedAtStartAndCurlThrough) {
  NetTestContext ctx;
  const uint16_t port = FreeAnyPort();
  ctx.config.Update([port](ConfigRecord& r) { r.socks4 = port; });
  Services services(ctx.net, ctx.log, ctx.console, ctx.config);
  services.Start();
  EXPECT_TRUE(ctx.Has("!NOT! SOCKS4 server started"));
  WriteFile(kSocks4ListFile, "127.0.0.1\n");
  services.Start();
  EXPECT_TRUE(ctx.Has("SOCKS4 server started"));
  if (access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "no curl";
  TcpOrigin origin("HTTP/1.0 200 OK\r\nContent-Length: 11\r\n\r\norigin page");
  FILE* curl = popen(("/usr/bin/curl -s --max-time 5 --socks4 127.0.0.1:" + std::to_string(port) +
                      " http://" + origin.host() + "/")
                         .c_str(),
                     "r");
  ASSERT_NE(curl, nullptr);
  char buf[64];
  const size_t n = fread(buf, 1, sizeof buf, curl);
  EXPECT_EQ(pclose(curl), 0);
  EXPECT_EQ(std::string(buf, n), "origin page");
}

}  // namespace
}  // namespace netrove
