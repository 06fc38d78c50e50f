// The request handler with the real POP3 server on loopback: a folder of
// 10,000 messages in one page. (The request rules, credentials, cookies
// and posts from other sites against the whole program: hostile_test.py.)
#include <gtest/gtest.h>

#include <thread>

#include "lib/net_context.h"
#include "mail/pop3_server.h"
#include "webmail/webmail_server.h"

namespace netrove {
namespace {

using testing::WriteFile;

class WebMailServerTest : public ::testing::Test {
 protected:
  WebMailServerTest() {
    WriteFile(ctx_.scratch / "servpop3.dat", "USER ann secret\n");
    WriteFile(ctx_.scratch / "mymail/list.htm",
              "&&mailauth&&messagescount\n&&messageslist(\"&&messageindex &&messagesubject\")\n");
    EXPECT_TRUE(pop3_.Start());
  }
  // The reply to a request (head without its empty line).
  std::string Ask(const std::string& head) {
    auto [ours, peer] = ctx_.LoopbackPair();
    std::thread handler([&] { web_.HandleWebMailRequest(ours, head + "\r\n\r\n"); });
    std::string reply = testing::ReadAll(peer.handle(), 60000);
    handler.join();
    return reply;
  }

  testing::NetTestContext ctx_;
  std::shared_ptr<MailStore> store_ = std::make_shared<MailStore>(ctx_.env, ctx_.scratch.path());
  Pop3Server pop3_{ctx_.net, ctx_.log, ctx_.config, store_};
  WebMailServer web_{ctx_.net, store_, [this] { return pop3_.LocalPop3Port(); },
                     WebMailOptions{.template_dirs = {ctx_.scratch / "mymail"}}};
};

constexpr char kAuth[] = "\r\nAuthorization: Basic YW5uOnNlY3JldA==";  // ann:secret

TEST_F(WebMailServerTest, TenThousandMessagesListedInOnePage) {
  for (int n = 1; n <= 10000; ++n)
    WriteFile(ctx_.scratch / ("MailBox/ANN/" + std::to_string(n) + ".msg"),
              "Subject: note " + std::to_string(n) + "\r\n\r\nx\r\n");
  const std::string reply = Ask(std::string("GET /list.htm HTTP/1.0") + kAuth);
  EXPECT_NE(reply.find("\r\n\r\n10,000\n1 note 1\n"), std::string::npos) << reply.substr(0, 300);
  EXPECT_TRUE(reply.ends_with("\n10,000 note 10000\n\n")) << reply.substr(reply.size() - 100);
}

}  // namespace
}  // namespace netrove
