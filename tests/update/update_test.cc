// The automatic update against a loopback origin standing in for the upstream proxy (or, with
// PROXY LOCALHOST, for the update server): what is asked, when a file is downloaded, that a bad or
// short answer changes nothing but the check date, and that a day is checked once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "lib/net_context.h"
#include "update/auto_update.h"

namespace netrove {
namespace {

using testing::NetTestContext;
using testing::TcpOrigin;

constexpr char kLastModified[] = "Last-Modified: Mon, 02 Mar 2026 10:00:00 GMT";
// CRC-32 of the byte 44 and "LAST-MODIFIED: MON, 02 MAR 2026 10:00:00 GMT", little-endian.
const std::string kStampBytes("\xab\xfe\xd6\x4c", 4);

std::string Reply(const std::string& status, size_t announced, size_t sent,
                  const std::string& extra = kLastModified) {
  std::string body;
  for (size_t i = 0; i < sent; ++i) body += static_cast<char>('a' + i % 26);
  return status + "\r\nContent-Length: " + std::to_string(announced) + "\r\n" + extra + "\r\n\r\n" +
         body;
}

// The file's modification time a day back: a check on the day before.
void Yesterday(const std::string& path) {
  std::filesystem::last_write_time(
      path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(24));
}

class UpdateTest : public ::testing::Test {
 protected:
  void Configure(const std::string& proxy, const std::string& url) {
    ctx_.config.Update([&](ConfigRecord& c) {
      c.auto_update = true;
      c.proxy = proxy;
      c.update_url = url;
      c.proxy_auth_string = "Basic dXNlcjpwdw==";
    });
  }

  NetTestContext ctx_;
};

TEST_F(UpdateTest, WhatIsDownloadedAndWhatIsLeftAlone) {
  struct Case {
    const char* name;
    std::string reply;
    std::string stored;  // netrove.upd before ("-": none)
    UpdateResult want;
    std::string want_stamp;
    size_t max_header = 65530;
  };
  const std::string old_stamp("\1\2\3\4", 4);
  const Case cases[] = {
      {"new build", Reply("HTTP/1.0 200 OK", 12000, 12000), "-", UpdateResult::kDownloaded,
       kStampBytes},
      {"same stamp", Reply("HTTP/1.0 200 OK", 12000, 12000), kStampBytes, UpdateResult::kUnchanged,
       kStampBytes},
      {"too small", Reply("HTTP/1.0 200 OK", 9999, 9999), old_stamp, UpdateResult::kUnchanged,
       old_stamp},
      {"not found", Reply("HTTP/1.0 404 Not Found", 12000, 12000), old_stamp,
       UpdateResult::kUnchanged, old_stamp},
      {"interrupted", Reply("HTTP/1.0 200 OK", 12000, 6000), old_stamp, UpdateResult::kInterrupted,
       old_stamp},
      {"coded body",
       Reply("HTTP/1.0 200 OK", 12000, 12000,
             std::string("Transfer-Encoding: x\r\n") + kLastModified),
       old_stamp, UpdateResult::kUnchanged, old_stamp},
      {"two lengths",
       Reply("HTTP/1.0 200 OK", 12000, 12000,
             std::string("Content-Length: 12001\r\n") + kLastModified),
       old_stamp, UpdateResult::kUnchanged, old_stamp},
      {"header too long",
       Reply("HTTP/1.0 200 OK", 12000, 12000,
             "X: " + std::string(3000, 'h') + "\r\n" + kLastModified),
       old_stamp, UpdateResult::kUnchanged, old_stamp, 2000},
  };
  for (const Case& c : cases) {
    NetTestContext ctx;
    TcpOrigin proxy(c.reply);
    ctx.config.Update([&](ConfigRecord& r) {
      r.proxy = proxy.host();
      r.update_url = "http://updates.example.net/netrove/libnetrove.dl_";
      r.proxy_auth_string = "Basic dXNlcjpwdw==";
    });
    if (c.stored != "-") {
      ASSERT_TRUE(WriteFileAtomically(ctx.env, "netrove.upd", c.stored));
      Yesterday(ctx.scratch / "netrove.upd");
    }
    ASSERT_TRUE(WriteFileAtomically(ctx.env, "netrove.dl_", "earlier build"));
    AutoUpdateOptions options;
    options.max_bytes = 65536;
    options.max_header_bytes = c.max_header;
    AutoUpdate update(ctx.net, options);

    EXPECT_EQ(update.CheckNow(), c.want) << c.name;
    EXPECT_EQ(proxy.last_request(),
              "GET http://updates.example.net/netrove/libnetrove.dl_ HTTP/1.0\r\n"
              "Proxy-Authorization: Basic dXNlcjpwdw==\r\n"
              "Host: updates.example.net\r\n\r\n")
        << c.name;
    EXPECT_EQ(ctx.Read("netrove.upd"), c.want_stamp) << c.name;
    const bool done = c.want == UpdateResult::kDownloaded;
    EXPECT_EQ(update.downloaded(), done) << c.name;
    const std::string body = c.reply.substr(c.reply.find("\r\n\r\n") + 4);
    EXPECT_EQ(ctx.Read("netrove.dl_"), done ? body : "earlier build") << c.name;
    EXPECT_EQ(ctx.env.Stat("netrove.dl_")->mode, done ? 0600u : 0644u) << c.name;
    // No temporary file left behind.
    for (const std::string& name : testing::DirectoryNames(ctx.scratch.path()))
      EXPECT_TRUE(name.rfind("netrove.dl_.", 0) != 0) << c.name << ": " << name;
    EXPECT_EQ(ctx.Has("Auto update: new build saved as netrove.dl_ (" +
                      std::to_string(body.size()) + " bytes)"),
              done)
        << c.name;
  }
}

TEST_F(UpdateTest, OneCheckADayAndTheTasks) {
  TcpOrigin proxy(Reply("HTTP/1.0 200 OK", 12000, 12000));
  AutoUpdate update(ctx_.net);
  Configure(proxy.host(), "");
  EXPECT_EQ(update.CheckNow(), UpdateResult::kNotConfigured);  // no UPDATEURL: never asked
  Configure("", "http://updates.example.net/a.dl_");
  EXPECT_EQ(update.CheckNow(), UpdateResult::kNotConfigured);  // no PROXY
  EXPECT_EQ(proxy.served(), 0);

  Configure(proxy.host(), "http://updates.example.net/a.dl_");
  update.StartAutoUpdate();
  ASSERT_TRUE(testing::WaitUntil([&] { return update.downloaded(); }));
  EXPECT_EQ(proxy.served(), 1);
  // Checked today: neither the tick nor a direct check goes out again.
  ASSERT_TRUE(testing::WaitUntil([&] {
    update.StartAutoUpdate();
    return update.CheckNow() == UpdateResult::kCheckedToday;
  }));
  EXPECT_EQ(proxy.served(), 1);
  // Yesterday's check does not count for today.
  Yesterday(ctx_.scratch / "netrove.upd");
  EXPECT_EQ(update.CheckNow(), UpdateResult::kUnchanged);  // same stamp as downloaded
  EXPECT_EQ(proxy.served(), 2);
}

TEST_F(UpdateTest, LocalProxyGoesStraightToTheServerWithoutProxyCredentials) {
  TcpOrigin server(Reply("HTTP/1.0 200 OK", 12000, 12000));
  Configure("localhost", "http://" + server.host() + "/netrove/libnetrove.dl_");
  AutoUpdate update(ctx_.net);
  EXPECT_EQ(update.CheckNow(), UpdateResult::kDownloaded);
  // No proxy credentials to the update server.
  EXPECT_EQ(server.last_request(),
            "GET /netrove/libnetrove.dl_ HTTP/1.0\r\nHost: " + server.host() + "\r\n\r\n");
}

}  // namespace
}  // namespace netrove
