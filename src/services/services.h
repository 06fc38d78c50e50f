// Start and stop of the gateway services, in their fixed orders.
//
// The services form one table (Services::Table); each row names the
// service, its place in the start order and in the stop order, and how to
// start and stop it. Adding a service is adding one row. A row whose log
// name is empty logs its own lines (port mappings, watchdog); the others
// are reported by ReportServiceStart when their keyword asks for them.
//
// Thread safety: Start and Stop are called by the session controller's
// thread; they may be called again for a configuration reload.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/config.h"
#include "gates/ftp_gate.h"
#include "gates/nntp_gate.h"
#include "gates/portdog.h"
#include "gates/portmap.h"
#include "gates/socks.h"
#include "mail/mail_store.h"
#include "mail/pop3_fetcher.h"
#include "mail/pop3_gate.h"
#include "mail/pop3_server.h"
#include "mail/smtp_sender.h"
#include "mail/smtp_server.h"
#include "net/address_list.h"
#include "net/network.h"
#include "proxy/proxy_service.h"
#include "runtime/console.h"
#include "runtime/log.h"
#include "webmail/webmail_server.h"

namespace netrove {

struct ConfigRecord;

namespace services {

// The first line of the start-up: the socket layer in use.
inline constexpr char kSocketLayerText[] = "POSIX sockets (IPv4)";

struct ServiceRow {
  std::string log_name;  // "" = the service logs its own lines
  int start_position = 0;
  int stop_position = 0;
  // Starts the service. nullopt when its keyword does not ask for it (no
  // report); otherwise whether it started.
  std::function<std::optional<bool>(const ConfigRecord& config)> start;
  std::function<void()> stop;
};

// Starts every row in start order, reporting in `log`; stops every row in
// stop order.
void StartServiceTable(Log& log, std::span<const ServiceRow> rows, const ConfigRecord& config);
void StopServiceTable(std::span<const ServiceRow> rows);

// "<name> server started", with "!NOT! " in front when not started.
void ReportServiceStart(Log& log, bool started, const std::string& log_name);

// The notice logged when hidden services are bound to a loopback address.
std::string LoopbackNotice(const std::string& address_text);

}  // namespace services

struct ServicesOptions {
  PortMapOptions port_maps;
  SocksOptions socks;
  ProxyServiceOptions proxy;
  Pop3ServerOptions pop3_server;
  Pop3FetcherOptions pop3_fetcher;
  Pop3GateOptions pop3_gate;
  NntpGateOptions nntp_gate;
  FtpGateOptions ftp_gate;
  SmtpServerOptions smtp_server;
  SmtpSenderOptions smtp_sender;
  // The template directories after "mymail" of the program directory:
  // the set installed beside the executable.
  WebMailOptions web_mail;
};

// The gateway services of one program, with the gates they own.
class Services {
 public:
  Services(Network& network, Log& log, Console& console, ConfigStore& config,
           ServicesOptions options = ServicesOptions());
  // Stops every service.
  ~Services();
  Services(const Services&) = delete;
  Services& operator=(const Services&) = delete;

  // Logs the socket layer, the main host (and the loopback notice when
  // hidden services can only be reached from this machine), then starts
  // every row in start order.
  void Start();
  // Stops every row in stop order and writes the refusal summaries still
  // pending. Connections already being served keep running in their own
  // tasks until they end; only the listeners stop.
  void Stop();

  // One mail fetch pass now, as the task "Get POP3 mail" (the $GETMAIL
  // macro); nothing while a pass runs.
  void StartGetMail();

  // The services built into this program.
  std::vector<services::ServiceRow> Table();

  PortMaps& port_maps() { return port_maps_; }
  PortDog& port_dog() { return port_dog_; }
  SocksService& socks() { return socks_; }
  ProxyService& proxy() { return proxy_; }
  MailStore& mail_store() { return *mail_store_; }
  Pop3Server& pop3_server() { return *pop3_server_; }
  SmtpServer& smtp_server() { return smtp_server_; }
  SmtpSender& smtp_sender() { return smtp_sender_; }

 private:
  Network& network_;
  Log& log_;
  ConfigStore& config_;
  PortMaps port_maps_;
  PortDog port_dog_;
  SocksService socks_;
  // Shared with the sessions that may outlive these services: the gate's
  // hand its local logins to the POP3 server, whose keep the store; the
  // proxy's connections keep the web mail.
  const std::shared_ptr<MailStore> mail_store_;
  const std::shared_ptr<Pop3Server> pop3_server_;
  const std::shared_ptr<WebMailServer> web_mail_;
  ProxyService proxy_;
  Pop3Gate pop3_gate_;
  NntpGate nntp_gate_;
  FtpGate ftp_gate_;
  Pop3Fetcher pop3_fetcher_;
  SmtpServer smtp_server_;
  SmtpSender smtp_sender_;
};

}  // namespace netrove
