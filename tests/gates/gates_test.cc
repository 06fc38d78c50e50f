// Port mappings, the port watchdog, the service start-up, and the link: the
// dial-on-demand gate, the URL check and the watch tasks, on loopback.
// Dialing on demand and a fresh call's check run end to end in tests/cases.
#include <gtest/gtest.h>

#include "checks/link_checks.h"
#include "lib/net_context.h"
#include "services/services.h"

namespace netrove {
namespace {

using namespace netrove::testing;

std::string Denied(const char* address, uint16_t port) {
  return "WARNING! " + std::string(address) + " Access denied to port " + std::to_string(port);
}

TEST(MappingLineTest, PartsVisibilityAndUdpTargets) {
  auto split = [](const char* line) {
    MappingLine m = SplitMappingLine(line);
    return m.local_port + " " + m.target + (m.hidden ? " hidden" : "");
  };
  EXPECT_EQ(split("8080,host:80,Show") + "|" + split("8080,host:80"), "8080 host:80|8080 host:80");
  EXPECT_EQ(split("8080,host:80,Hide") + "|" + split("8080,host:80,h"),
            "8080 host:80 hidden|8080 host:80 hidden");
  EXPECT_EQ(SplitMappingLine("garbage").target, "");
  auto udp = [](const char* target) {
    auto t = ParseUdpTarget(target);
    return t ? t->host + " " + std::to_string(t->port) : "refused";
  };
  EXPECT_EQ(udp("ns.example:53"), "ns.example 53");
  EXPECT_EQ(udp("h:123456"), "h 12345");  // at most five digits
  for (const char* bad : {"h:0", "h:99999", ":53", "nohost"}) EXPECT_EQ(udp(bad), "refused") << bad;
}

// Each test gives every use of the link back. A CHECKURLTIME minute lasts
// 20 ms, "Check NetTime" looks every 5 ms, the link gate waits 1 s at most.
class GatesTest : public ::testing::Test {
 protected:
  GatesTest() {
    ctx_.shared.link_mode = kLinkOnline;
    ctx_.real_env.SetLocalSeconds(1700000000);
    ctx_.SetTimings([](NetTimings& t) {
      t.await_request_step_ms = 10;
      t.await_poll_ms = 20;
      t.await_polls = 50;
    });
  }
  ~GatesTest() override {
    services_.Stop();
    EXPECT_TRUE(WaitUntil([this] { return users_.Users() == 0; }));
  }
  void Configure(std::vector<std::string> tcp, std::vector<std::string> udp, std::string dog = "") {
    ctx_.config.Update([&](ConfigRecord& r) {
      r.map_link = tcp;
      r.map_ulink = udp;
      r.port_dog = dog;
    });
  }
  void Watch(const std::function<void(ConfigRecord&)>& edit) {
    ctx_.config.Update(edit);
    checker_.StartWatch();
  }
  bool Requested(uint8_t request) {
    return WaitUntil([&] { return shared_.control_request.load() == request; });
  }

  NetTestContext ctx_;
  Services services_{ctx_.net, ctx_.log, ctx_.console, ctx_.config};
  PortMaps& maps_ = services_.port_maps();
  SharedState& shared_ = ctx_.shared;
  LinkUsers& users_ = ctx_.net.link_users();
  LinkChecker checker_{ctx_.env,    ctx_.tasks,  ctx_.log, ctx_.console,
                       ctx_.config, ctx_.shared, ctx_.net, LinkCheckTimings{20, 5}};
};

// A refused client never reaches the target; a hidden mapping listens on
// the local interface only.
TEST_F(GatesTest, TcpMappings) {
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\norigin page");
  ctx_.net.resolver().SetLocalInterfaceName("127.0.0.3");
  const uint16_t shown = FreeAnyPort(), hidden = FreeAnyPort(), unreachable = FreeAnyPort();
  Configure({std::to_string(shown) + "," + origin.host() + ",Show",
             std::to_string(hidden) + "," + origin.host() + ",Hide",
             std::to_string(unreachable) + ",127.0.0.1:" + std::to_string(FreePort())},
            {});
  maps_.StartTcp();  // no maplink.ip
  EXPECT_EQ(maps_.RunningTcp(), 0);
  EXPECT_TRUE(ctx_.Lines().empty());
  WriteFile("maplink.ip", "");
  maps_.StartTcp();
  maps_.StartTcp();  // already running: nothing more
  EXPECT_EQ(maps_.RunningTcp(), 3);
  const std::string get = "GET /\r\n\r\n", page = "HTTP/1.0 200 OK\r\n\r\norigin page";
  EXPECT_EQ(Ask(shown, get, "127.0.0.1", false), "");
  EXPECT_TRUE(ctx_.WaitForLine(Denied("127.0.0.1", shown)));
  EXPECT_EQ(origin.served(), 0);
  WriteFile("maplink.ip", "127.0.0.*\n");
  ctx_.real_env.AdvanceLocal(31);  // the list is looked at again
  EXPECT_EQ(Ask(shown, get, "127.0.0.1", false), page);
  EXPECT_EQ(Ask(hidden, get, "127.0.0.1", false), "<refused>");
  EXPECT_EQ(Ask(hidden, get, "127.0.0.1", false, 3000, "127.0.0.3"), page);
  EXPECT_EQ(Ask(unreachable, get, "127.0.0.1", false), "");
}

// Only the target's replies pass; one relay per client, so that a flood
// holds one; stopping the TCP mappings never waits for the UDP relays.
TEST_F(GatesTest, UdpMappings) {
  SocketVar target;  // answers "re:" + each datagram, after a stranger's datagram
  const int stranger = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ctx_.net.ports().ListenUdp(
      0, target,
      [stranger](UdpDatagramTicket& ticket) -> uint32_t {
        char buf[64];
        sockaddr_in from{};
        int n = ticket.ReceiveDatagram(buf, sizeof buf, &from);
        std::string reply = "re:" + std::string(buf, static_cast<size_t>(std::max(n, 0)));
        auto* to = reinterpret_cast<sockaddr*>(&from);
        sendto(stranger, "stranger", 8, 0, to, sizeof from);
        sendto(ticket.socket(), reply.data(), reply.size(), 0, to, sizeof from);
        return 0;
      },
      false);
  const uint16_t target_port = GetLocalPort(target.handle());
  const uint16_t port = FreeAnyPort(SOCK_DGRAM);
  const std::string line = std::to_string(port) + ",127.0.0.1:" + std::to_string(target_port);
  WriteFile("mapulink.ip", "127.0.0.1\n127.0.0.2\n127.0.0.4\n");  // found under either spelling
  maps_.SetUdpReplyLife(300);
  Configure({}, {line, line + ",Show"});
  maps_.StartUdp();
  EXPECT_TRUE(ctx_.Has("Maped UDP port " + line.substr(0, line.find(',')) + ", linked to " +
                       line.substr(line.find(',') + 1)));
  EXPECT_TRUE(ctx_.Has("!NOT! map port " + std::to_string(port) + ", port busy"));
  ASSERT_EQ(maps_.RunningUdp(), 1);
  EXPECT_EQ(UdpAsk(port, "query", "127.0.0.1", 400), "re:query");
  PortMaps& maps = maps_;
  EXPECT_TRUE(WaitUntil([&] { return maps.ActiveUdpRelays() == 0; }));
  EXPECT_EQ(UdpAsk(port, "query", "127.0.0.3", 400), "");
  EXPECT_TRUE(ctx_.WaitForLine(Denied("127.0.0.3", port)));

  maps_.SetUdpReplyLife(60000);
  const int flood = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to = LoopbackAddress("127.0.0.1", port);
  for (int i = 0; i < kMaxUdpRelays + 100; ++i) {
    sendto(flood, "q", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (i % 50 == 0) std::this_thread::sleep_for(Ms(5));
  }
  // The queue has room again; a relay table full of the flood would not.
  std::this_thread::sleep_for(Ms(300));
  EXPECT_EQ(UdpAsk(port, "other", "127.0.0.2", 400), "re:other");
  EXPECT_EQ(maps_.ActiveUdpRelays(), 2);
  // Clients past the table's size push out the relays silent longest (three
  // addresses, as each address is held to fewer).
  std::vector<int> clients;
  for (int i = 0; i < kMaxUdpRelays; ++i) {
    clients.push_back(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in from =
        LoopbackAddress(i % 3 == 0 ? "127.0.0.4" : (i % 3 == 1 ? "127.0.0.2" : "127.0.0.1"), 0);
    bind(clients.back(), reinterpret_cast<sockaddr*>(&from), sizeof from);
    sendto(clients.back(), "q", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ASSERT_EQ(ReadAll(clients.back(), 2000, 4), "re:q") << i;
  }
  EXPECT_TRUE(WaitUntil([&] { return maps.ActiveUdpRelays() == kMaxUdpRelays; }));
  EXPECT_TRUE(ctx_.WaitForLine("WARNING! 127.0.0.2 UDP datagram to port " + std::to_string(port) +
                               " dropped"));
  for (int fd : clients) close(fd);
  EXPECT_LT(MsTaken([&] { maps_.StopTcp(); }), 500);
  close(flood);
  close(stranger);
}

TEST_F(GatesTest, ServiceTableStartsAndStopsInItsOwnOrdersAndReports) {
  std::string calls;
  auto row = [&calls](std::string name, int start, int stop, std::optional<bool> result) {
    auto started = [&calls, name, result](const ConfigRecord&) {
      calls += "+" + name;
      return result;
    };
    return services::ServiceRow{name, start, stop, started,
                                [&calls, name] { calls += "-" + name; }};
  };
  std::vector<services::ServiceRow> rows = {row("SMTP", 7, 3, true), row("Proxy", 1, 1, true),
                                            row("FTP", 2, 4, false), row("POP3", 4, 2, {}),
                                            row("", 10, 6, {})};
  services::StartServiceTable(ctx_.log, rows, ConfigRecord());
  services::StopServiceTable(rows);
  EXPECT_EQ(calls, "+Proxy+FTP+POP3+SMTP+-Proxy-POP3-SMTP-FTP-");
  EXPECT_EQ(ctx_.Lines(),
            (std::vector<std::string>{"Proxy server started", "!NOT! FTP server started",
                                      "SMTP server started"}));
}

// The watchdog reports every client, also one gone at once; a client being
// served keeps its connection through a stop, and a restart binds again.
TEST_F(GatesTest, StartStopAndRestart) {
  Resolver& resolver = ctx_.net.resolver();
  resolver.SetLocalInterfaceName("127.0.1.1");
  uint16_t map_port = FreeAnyPort(), dog_port = FreeAnyPort(), busy_port = 0;
  const int busy = BindLoopback(busy_port);
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\nstill here");
  WriteFile("maplink.ip", "127.0.0.1\n");
  Configure({std::to_string(map_port) + "," + origin.host() + ",Show"}, {},
            std::to_string(dog_port) + ", " + std::to_string(busy_port) + ", telnet,");
  const std::vector<std::string> services = {
      "POP3-server started",  // on by default, before the mappings
      "POP3viaWEB-server started",
      "Maped port " + std::to_string(map_port) + ", linked to " + origin.host(),
      "Dog on port #" + std::to_string(dog_port) + " started",
      "WARNING: port #" + std::to_string(busy_port) + " busy???",
      "WARNING: port #telnet busy???"};
  auto expect_start = [&](std::vector<std::string> host_lines) {
    ctx_.ClearLines();
    services_.Start();
    host_lines.insert(host_lines.end(), services.begin(), services.end());
    EXPECT_EQ(ctx_.Lines(), host_lines);
  };
  expect_start({"POSIX sockets (IPv4)", "Main host: 127.0.1.1 [127.0.1.1]",
                services::LoopbackNotice("127.0.1.1")});
  EXPECT_EQ(Ask(dog_port, "", "127.0.0.1", false), "");
  ctx_.tasks.SuspendAll();  // this client has gone before the watchdog takes it
  close(ConnectLoopback(dog_port, "127.0.0.1", "127.0.0.4"));
  std::this_thread::sleep_for(Ms(50));
  ctx_.tasks.ResumeAll();
  EXPECT_TRUE(ctx_.WaitForLine(Denied("127.0.0.1", dog_port)));
  EXPECT_TRUE(ctx_.WaitForLine(Denied("127.0.0.4", dog_port)));
  int held = ConnectLoopback(map_port);
  ASSERT_TRUE(WaitUntil([&] { return users_.Users() > 0; }));  // relaying now
  for (int i = 0; i < 5; ++i) ctx_.net.access().WarnDeniedClient("10.0.0.9", 23);
  services_.Stop();
  EXPECT_TRUE(ctx_.Has("\xe2\x80\xa6 2 further attempts from 10.0.0.9"));
  EXPECT_EQ(Ask(map_port, ""), "<refused>");
  EXPECT_EQ(Ask(dog_port, ""), "<refused>");
  send(held, "GET /\r\n\r\n", 9, MSG_NOSIGNAL);
  EXPECT_EQ(ReadAll(held, 3000), "HTTP/1.0 200 OK\r\n\r\nstill here");
  close(held);
  resolver.SetLocalInterfaceName("10.11.12.13");
  expect_start({"POSIX sockets (IPv4)", "Main host: 10.11.12.13 [10.11.12.13]"});
  EXPECT_EQ(Ask(map_port, "GET /\r\n\r\n", "127.0.0.1", false),
            "HTTP/1.0 200 OK\r\n\r\nstill here");
  close(busy);
}

// Idle, the gate's wait is bounded; a request that a new sleep countdown
// swallowed is made again instead of waiting out the limit.
TEST_F(GatesTest, GatePassesOnlineWaitsBoundedAndAsksAgain) {
  shared_.link_mode = kLinkOnline;
  {
    LinkUse use(users_, nullptr), second(users_, nullptr);
    EXPECT_TRUE(use.held() && second.held() && users_.Users() == 2);
  }
  users_.Release();
  EXPECT_EQ(users_.Users(), 0u);
  EXPECT_EQ(shared_.control_request.load(), kRequestNone);
  shared_.link_mode = kLinkIdle;
  const int64_t took = MsTaken([&] {
    EXPECT_TRUE(users_.Await(nullptr));  // no client (a datagram): may always dial
    users_.Release();
  });
  EXPECT_TRUE(took >= 900 && took < 3000) << took;
  EXPECT_EQ(shared_.control_request.load(), kRequestSleep);
  shared_.control_request = kRequestNone;
  std::atomic<int> requests{0};
  std::thread controller([this, &requests] {
    for (auto end = SteadyClock::now() + Ms(5000); requests < 2 && SteadyClock::now() < end;) {
      if (shared_.control_request.load() == kRequestSleep) {
        shared_.control_request = kRequestNone;
        if (++requests == 2) shared_.link_mode = kLinkOnline;
      }
      std::this_thread::sleep_for(Ms(1));
    }
  });
  const auto start = SteadyClock::now();
  EXPECT_TRUE(users_.Await(nullptr));
  users_.Release();
  EXPECT_LT(MsSince(start), 500) << "the gate waited out its limit instead of asking again";
  controller.join();
  EXPECT_EQ(requests.load(), 2);
}

TEST_F(GatesTest, ClientGoneEndsTheWaitWithNothingOwed) {
  WriteFile("dialfor.ip", "127.0.0.*\n");
  auto [ours, peer] = ctx_.LoopbackPair();
  shared_.link_mode = kLinkDialing;  // dialing: nothing is requested, only polled
  std::thread leaver([&peer = peer] {
    std::this_thread::sleep_for(Ms(100));
    CloseSocketVar(peer);
  });
  EXPECT_LT(MsTaken([&] { EXPECT_FALSE(users_.Await(&ours)); }), 900);
  EXPECT_EQ(shared_.control_request.load(), kRequestNone);
  leaver.join();
}

// A full URL contacts its host part only; a closed port fails, unless the
// controller is stopping anyway.
TEST_F(GatesTest, StatusLineDecides) {
  std::pair<const char*, bool> cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", true}, {"HTTP/1.0 302 Found\r\n\r\n", true},
      {"HTTP/2 200\r\n\r\n", false},     {"", false},
      {"SSH-2.0-OpenSSH\r\n", false},    {"HTTP/", false},
  };
  for (auto [reply, passes] : cases) {
    for (bool full_url : {false, true}) {
      TcpOrigin origin(reply);
      ctx_.ClearLines();
      std::string url =
          full_url ? "http://" + origin.host() + "/some/page.html?x=1" : origin.host();
      EXPECT_EQ(checker_.CheckUrl(url, false), passes) << url << " answering " << reply;
      EXPECT_EQ(origin.last_request(), "GET / HTTP/1.0\r\n\r\n");
      EXPECT_EQ(ctx_.Lines(),
                std::vector<std::string>{"Contacting with host " + origin.host() + " [127.0.0.1]"});
    }
  }
  ctx_.ClearLines();
  const std::string closed = "127.0.0.1:" + std::to_string(FreePort());
  EXPECT_FALSE(checker_.CheckUrl(closed, false));
  EXPECT_EQ(ctx_.Lines(), std::vector<std::string>{"Not found DNS or not found host IP address"});
  shared_.control_request = kRequestStop;
  EXPECT_TRUE(checker_.CheckUrl(closed, false));
}

// "Connected as" the address the check's connection used, also stored.
TEST_F(GatesTest, MacroRunsTheAnnouncingCheckOnItsOwnTask) {
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\n");
  ctx_.config.Update([&](ConfigRecord& r) { r.check_url = origin.host(); });
  checker_.StartMacroCheck("");  // the configured CHECKURL
  EXPECT_TRUE(ctx_.WaitForLine("Contacting with host " + origin.host() + " [127.0.0.1]"));
  EXPECT_EQ(ctx_.Lines(),
            (std::vector<std::string>{"Connected as " + LocalDescription(htonl(0x7F000001)),
                                      "Contacting with host " + origin.host() + " [127.0.0.1]"}));
  EXPECT_NE(LocalDescription(htonl(0x7F000001)).find("127.0.0.1"), std::string::npos);
  EXPECT_EQ(shared_.local_address_text.Get(), "127.0.0.1");
}

TEST_F(GatesTest, CheckUrlTaskAsksForARedialOnlyWhenThePageIsGone) {
  checker_.StartWatch();
  EXPECT_FALSE(checker_.WatchRunning());  // without the keywords
  TcpOrigin origin("HTTP/1.1 200 OK\r\n\r\n");
  Watch([&](ConfigRecord& r) {
    r.check_url = origin.host();
    r.check_url_time = 1;
  });
  EXPECT_TRUE(WaitUntil([&] { return origin.served() >= 3; }, 3000));
  EXPECT_EQ(shared_.control_request.load(), kRequestNone);
  checker_.StopWatch();
  EXPECT_EQ(shared_.link_mode.load(), kLinkIdle);
  EXPECT_FALSE(checker_.WatchRunning());
  Watch([](ConfigRecord& r) { r.check_url = "127.0.0.1:" + std::to_string(FreePort()); });
  EXPECT_TRUE(checker_.WatchRunning() && shared_.link_mode.load() == kLinkOnline);
  EXPECT_TRUE(Requested(kRequestRedial));
}

// A full minute after the last use (never while in use); NETSTOPTIME wins.
TEST_F(GatesTest, IdleLimitSleepsOrStops) {
  for (bool stop : {false, true}) {
    shared_.control_request = kRequestNone;
    Watch([&](ConfigRecord& r) {
      r.net_sleep_time = 1;
      r.net_stop_time = stop ? 1 : 0;
    });
    ASSERT_TRUE(users_.Await(nullptr));
    ctx_.real_env.AdvanceLocal(3600);
    std::this_thread::sleep_for(Ms(100));
    EXPECT_EQ(shared_.control_request.load(), kRequestNone);
    users_.Release();  // the release counts as a use
    ctx_.real_env.AdvanceLocal(59);
    std::this_thread::sleep_for(Ms(100));
    EXPECT_EQ(shared_.control_request.load(), kRequestNone);
    ctx_.real_env.AdvanceLocal(1);
    EXPECT_TRUE(Requested(stop ? kRequestStop : kRequestSleep)) << "stop=" << stop;
    checker_.StopWatch();
  }
}

}  // namespace
}  // namespace netrove
