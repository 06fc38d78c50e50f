#include "services/services.h"

#include <arpa/inet.h>

#include <algorithm>

#include "runtime/program.h"

namespace netrove {
namespace services {
namespace {

std::vector<const ServiceRow*> InStopOrder(std::span<const ServiceRow> rows) {
  std::vector<const ServiceRow*> order;
  for (const ServiceRow& row : rows) order.push_back(&row);
  std::stable_sort(order.begin(), order.end(), [](const ServiceRow* a, const ServiceRow* b) {
    return a->stop_position < b->stop_position;
  });
  return order;
}

// A row for services that log their own lines and always run their start.
ServiceRow SelfLoggingRow(int start_position, int stop_position, std::function<void()> start,
                          std::function<void()> stop) {
  ServiceRow row;
  row.start_position = start_position;
  row.stop_position = stop_position;
  row.start = [start](const ConfigRecord&) -> std::optional<bool> {
    start();
    return std::nullopt;
  };
  row.stop = std::move(stop);
  return row;
}

// A row reported by its log name, started when its keyword asks for it.
ServiceRow ReportedRow(std::string log_name, int start_position, int stop_position,
                       std::function<bool(const ConfigRecord&)> wanted, std::function<bool()> start,
                       std::function<void()> stop) {
  ServiceRow row;
  row.log_name = std::move(log_name);
  row.start_position = start_position;
  row.stop_position = stop_position;
  row.start = [wanted, start](const ConfigRecord& config) -> std::optional<bool> {
    if (!wanted(config)) return std::nullopt;
    return start();
  };
  row.stop = std::move(stop);
  return row;
}

bool IsLoopback(uint32_t network_order) { return (ntohl(network_order) >> 24) == 127; }

// The template set installed with the program, after the program
// directory's own "mymail": beside the executable (the build tree) and in
// the share directory of an installation.
WebMailOptions WithInstalledTemplates(WebMailOptions options) {
  const std::string bin = ExecutableDirectory();
  options.template_dirs.push_back(bin + "/" + kTemplateDirectory);
  options.template_dirs.push_back(bin + "/../share/netrove/" + kTemplateDirectory);
  return options;
}

// The proxy's host "mail" goes to the web mail (unless a test set another).
ProxyServiceOptions WithWebMail(ProxyServiceOptions options, std::shared_ptr<WebMailServer> web) {
  if (!options.web_mail) {
    options.web_mail = [web](SocketVar& client, const std::string& request) {
      web->HandleWebMailRequest(client, request);
    };
  }
  return options;
}

}  // namespace

void ReportServiceStart(Log& log, bool started, const std::string& log_name) {
  log.Write(std::string(started ? "" : "!NOT! ") + log_name + " server started");
}

std::string LoopbackNotice(const std::string& address_text) {
  return "Hidden services listen on loopback " + address_text +
         " only; set IPINTERFACENAME to the LAN address to serve the network";
}

void StartServiceTable(Log& log, std::span<const ServiceRow> rows, const ConfigRecord& config) {
  std::vector<const ServiceRow*> order;
  for (const ServiceRow& row : rows) order.push_back(&row);
  std::stable_sort(order.begin(), order.end(), [](const ServiceRow* a, const ServiceRow* b) {
    return a->start_position < b->start_position;
  });
  for (const ServiceRow* row : order) {
    if (!row->start) continue;
    std::optional<bool> started = row->start(config);
    if (started && !row->log_name.empty()) ReportServiceStart(log, *started, row->log_name);
  }
}

void StopServiceTable(std::span<const ServiceRow> rows) {
  for (const ServiceRow* row : InStopOrder(rows))
    if (row->stop) row->stop();
}

}  // namespace services

Services::Services(Network& network, Log& log, Console& console, ConfigStore& config,
                   ServicesOptions options)
    : network_(network),
      log_(log),
      config_(config),
      port_maps_(network, log, config, options.port_maps),
      port_dog_(network, log, config),
      socks_(network, log, config, options.socks),
      mail_store_(std::make_shared<MailStore>(network.env(), "")),
      pop3_server_(
          std::make_shared<Pop3Server>(network, log, config, mail_store_, options.pop3_server)),
      web_mail_(std::make_shared<WebMailServer>(
          network, mail_store_, [server = pop3_server_] { return server->LocalPop3Port(); },
          services::WithInstalledTemplates(std::move(options.web_mail)))),
      proxy_(network, log, console, config,
             services::WithWebMail(std::move(options.proxy), web_mail_)),
      pop3_gate_(
          network, log, config,
          [server = pop3_server_](SocketVar& client) { server->Pop3Session(client); },
          [server = pop3_server_] { return server->LocalPop3Port(); }, options.pop3_gate),
      nntp_gate_(network, config, options.nntp_gate),
      ftp_gate_(network, config, options.ftp_gate),
      pop3_fetcher_(network, log, config, mail_store_, options.pop3_fetcher),
      smtp_server_(network, log, config, mail_store_, options.smtp_server),
      smtp_sender_(network, log, config, mail_store_, options.smtp_sender) {}

Services::~Services() { services::StopServiceTable(Table()); }

std::vector<services::ServiceRow> Services::Table() {
  using services::ReportedRow;
  using services::SelfLoggingRow;
  // Start order: proxy 1, FTP gate 2, SOCKS 3, POP3 gate 4, POP3 server 5,
  // NNTP gate 6, SMTP server 7, TCP mappings 8, UDP mappings 9, watchdog 10.
  // SOCKS, like the others, is not started again while it listens.
  // Stop order: proxy 1, POP3 and NNTP gates 2, SMTP server 3, SOCKS and
  // FTP gate 4, mappings 5, watchdog 6, POP3 server 7.
  PortMaps& maps = port_maps_;
  PortDog& dog = port_dog_;
  SocksService& socks = socks_;
  ProxyService& proxy = proxy_;
  Pop3Gate& gate = pop3_gate_;
  NntpGate& news = nntp_gate_;
  FtpGate& ftp = ftp_gate_;
  Pop3Server& pop3 = *pop3_server_;
  Pop3Fetcher& fetcher = pop3_fetcher_;
  SmtpServer& smtp = smtp_server_;
  SmtpSender& sender = smtp_sender_;
  return {
      ReportedRow(
          "Proxy", 1, 1, [](const ConfigRecord& c) { return !c.proxy.empty(); },
          [&proxy] { return proxy.StartProxyService(); }, [&proxy] { proxy.StopProxyService(); }),
      ReportedRow(
          "FTP-gate", 2, 4, [](const ConfigRecord& c) { return c.ftp != 0; },
          [&ftp] { return ftp.Start(); }, [&ftp] { ftp.Stop(); }),
      ReportedRow(
          "SOCKS4", 3, 4, [](const ConfigRecord& c) { return c.socks4 != 0; },
          [&socks] { return socks.Start(); }, [&socks] { socks.Stop(); }),
      ReportedRow(
          "POP3-gate", 4, 2, [](const ConfigRecord& c) { return !c.pop3.empty(); },
          [&gate] { return gate.Start(); }, [&gate] { gate.Stop(); }),
      // The POP3 server logs its own start; its fetch scheduler runs with it.
      SelfLoggingRow(
          5, 7,
          [this, &pop3, &fetcher] {
            if (config_.Current()->pop3_server) fetcher.StartScheduler();
            (void)pop3.Start();
          },
          [&pop3, &fetcher] {
            fetcher.StopScheduler();
            pop3.Stop();
          }),
      ReportedRow(
          "NNTP-gate", 6, 2, [](const ConfigRecord& c) { return !c.nntp.empty(); },
          [&news] { return news.Start(); }, [&news] { news.Stop(); }),
      // The SMTP server starts the queue sender with its listener.
      ReportedRow(
          "SMTP-gate", 7, 3, [](const ConfigRecord& c) { return !c.smtp.empty(); },
          [&smtp, &sender] {
            if (!smtp.Start()) return false;
            sender.Start();
            return true;
          },
          [&smtp, &sender] {
            sender.Stop();
            smtp.Stop();
          }),
      // The web mail logs in to the local POP3 server.
      SelfLoggingRow(
          7, 3,
          [this, &pop3] {
            if (pop3.LocalPop3Port() != 0) log_.Write("POP3viaWEB-server started");
          },
          [] {}),
      SelfLoggingRow(
          8, 5, [&maps] { maps.StartTcp(); }, [&maps] { maps.StopTcp(); }),
      SelfLoggingRow(
          9, 5, [&maps] { maps.StartUdp(); }, [&maps] { maps.StopUdp(); }),
      SelfLoggingRow(
          10, 6, [&dog] { dog.Start(); }, [&dog] { dog.Stop(); }),
  };
}

void Services::StartGetMail() { pop3_fetcher_.StartPass(kGetPop3MailTask); }

void Services::Start() {
  Resolver& resolver = network_.resolver();
  log_.Write(services::kSocketLayerText);
  std::string address = resolver.LocalInterfaceAddressText();
  log_.Write("Main host: " + resolver.LocalInterfaceName() + " [" + address + "]");
  if (services::IsLoopback(resolver.LocalInterfaceAddress()))
    log_.Write(services::LoopbackNotice(address));
  std::shared_ptr<const ConfigRecord> config = config_.Current();
  services::StartServiceTable(log_, Table(), *config);
}

void Services::Stop() {
  services::StopServiceTable(Table());
  network_.access().FlushRefusalSummaries(true);
}

}  // namespace netrove
