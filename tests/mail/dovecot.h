// A real Dovecot POP3 server for the mail tests, on 127.0.0.1 and
// 127.0.0.3 of the test's scratch directory: users from a passwd-file, one
// maildir ("mail" in the scratch directory) shared by all of them.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "lib/net_context.h"

namespace netrove::testing {

inline constexpr char kDovecotConf[] = R"(base_dir = DIR/run
state_dir = DIR/run
log_path = DIR/dovecot.log
protocols = pop3
listen = 127.0.0.1, 127.0.0.3
ssl = no
disable_plaintext_auth = no
first_valid_uid = 1
passdb {
  driver = passwd-file
  args = DIR/passwd
}
userdb {
  driver = static
  args = uid=dovecot gid=dovecot home=DIR/mail
}
mail_location = maildir:~
service pop3-login {
  inet_listener pop3 {
    port = PORT
  }
}
)";

// Starts Dovecot (run by its own user: root starts it) with the users of
// `passwd` ("name:{PLAIN}password" lines) on the messages written below
// "mail" before the call, at `port` (0: a free one). Its port, 0 when it is
// missing, not root, or it failed. The process group ends with `process`.
inline uint16_t StartDovecot(TestContext& ctx, const std::string& passwd,
                             std::unique_ptr<Process>& process, uint16_t port = 0) {
  const std::string dir = ctx.scratch.path();
  if (!getpwnam("dovecot") || geteuid() != 0 || access("/usr/sbin/dovecot", X_OK) != 0) return 0;
  chmod(dir.c_str(), 0755);
  std::error_code ec;
  std::filesystem::create_directories(dir + "/mail/new", ec);
  if (std::system(("chown -R dovecot:dovecot " + dir + "/mail").c_str()) != 0) return 0;
  WriteFile(dir + "/passwd", passwd);
  if (port == 0) port = FreePort();
  std::string conf = kDovecotConf;
  for (size_t at; (at = conf.find("DIR")) != std::string::npos;) conf.replace(at, 3, dir);
  WriteFile(dir + "/dovecot.conf", conf.replace(conf.find("PORT"), 4, std::to_string(port)));
  process = ctx.env.Spawn({"/usr/sbin/dovecot", "-F", "-c", dir + "/dovecot.conf"}, {},
                          dir + "/dovecot.out");
  auto listening = [port] {
    return Ask(port, "", "127.0.0.1", true, 100, "127.0.0.3") != "<refused>";
  };
  return process && WaitUntil(listening, 10000) ? port : 0;
}

}  // namespace netrove::testing
