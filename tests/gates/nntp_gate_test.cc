// The NNTP gate against a scripted news server on loopback.
#include "gates/nntp_gate.h"

#include <gtest/gtest.h>

#include "lib/net_context.h"

namespace netrove {
namespace {

TEST(NntpGateTest, ReplayRelayTheCapOnLinesAndRefusals) {
  std::string received, lines = "GROUP " + std::string(70000, 'g') + "\r\n",
                        oks = "201 OK.\r\n201 OK.\r\n";
  for (int i = 1; i < 100; ++i) lines += "GROUP g\r\n", oks += "201 OK.\r\n";
  {
    // Answers LIST with a body, QUIT with "205 bye", the others by echoing them.
    testing::LineServer news(received, [](const std::string& line) -> std::string {
      return line.empty()         ? "200 news ready\r\n"
             : line == "LIST\r\n" ? "215 groups\r\nalt.test 2 1 y\r\n..dots 1 1 y\r\n.\r\n"
             : line == "QUIT\r\n" ? "205 bye\r\n"
                                  : "281 " + line;
    });
    testing::NetTestContext ctx;
    const uint16_t port = testing::FreeAnyPort();
    const std::string server = "@" + news.host();
    testing::WriteFile("nntp.ip", "127.0.0.1\n");
    ctx.config.Update([&](ConfigRecord& r) { r.nntp = "127.0.0.1:" + std::to_string(port); });
    ctx.config.Update([](ConfigRecord& r) { r.hide_nntp = false; });
    ctx.shared.link_mode = kLinkOnline;
    NntpGate gate(ctx.net, ctx.config, {.port = port});
    ASSERT_TRUE(gate.Start());
    auto talk = [port](const std::string& text, const char* source = "127.0.0.1") {
      return testing::Ask(port, text, source, false, 10000);
    };
    // Kept lines replayed to the login's server (LIST's body read to its ".", not to a silence).
    EXPECT_EQ(talk("MODE READER\r\nLIST\r\nauthinfo user bob" + server + "\r\nQUIT\r\n"),
              "201 OK.\r\n201 OK.\r\n201 OK.\r\n281 authinfo user bob\r\n205 bye\r\n");
    // Answered before the login and not replayed (the server would wait for POST's article).
    const std::string required = std::string(kNntpLoginRequired) + "\r\n";
    EXPECT_EQ(talk("capabilities\r\nPOST\r\n IHAVE <a@b>\r\nPOSTED\r\nauthinfo user p" + server +
                   "\r\nQUIT\r\n"),
              "201 OK.\r\n" + required + required + required +
                  "201 OK.\r\n281 authinfo user p\r\n205 bye\r\n");
    // 100 lines are kept, each cut at 255 characters; one more closes the connection.
    EXPECT_EQ(talk(lines + "AUTHINFO USER z" + server + "\r\nQUIT\r\n"),
              oks + "281 AUTHINFO USER z\r\n205 bye\r\n");
    EXPECT_EQ(talk(lines + "GROUP g\r\nAUTHINFO USER z" + server + "\r\n"), oks);
    EXPECT_EQ(talk("AUTHINFO USER x\r\n"), "201 OK.\r\n");  // to NNTP, our own port: refused
    EXPECT_TRUE(
        ctx.WaitForLine("WARNING! 127.0.0.1 Access denied to port " + std::to_string(port)));
    EXPECT_EQ(talk("AUTHINFO USER x" + server + "\r\n", "127.0.0.2"), "");  // not in nntp.ip
    EXPECT_TRUE(testing::WaitUntil([&] { return ctx.net.link_users().Users() == 0; }));
    EXPECT_NE(ctx.net.link_users().LastUse(), 0u);
  }  // the server's thread has ended
  EXPECT_EQ(received,
            "MODE READER\r\nLIST\r\nauthinfo user bob\r\nQUIT\r\n"
            "POSTED\r\nauthinfo user p\r\nQUIT\r\n" +
                lines.substr(0, 255) + "\r\n" + lines.substr(70008) +
                "AUTHINFO USER z\r\nQUIT\r\n");
}

}  // namespace
}  // namespace netrove
