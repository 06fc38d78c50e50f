// The TCP and UDP port servers: listener tables of 64 entries each, served
// by the "Port server" and "UPort server" tasks, which start one task per
// accepted connection ("Socket " + listening handle) or per datagram
// ("USocket " + handle).
//
// Contract: a listener is registered by ListenTcp/ListenTcpLoopback/ListenUdp
// into the caller's SocketVar (below 1 afterwards means the port could not be
// bound or the table is full) and removed by CloseSocketVar on that variable
// (or its destruction). A TCP handler gets the accepted SocketVar and may
// read, write and close it; when it returns the socket is closed. A UDP
// handler gets its datagram with ReceiveDatagram.
//
// Client tasks are capped per client address, per listener and in total
// (client_caps.h; on the listeners of ListenTcpLoopback, whose clients are
// this program's own connections, per listener and in total only); a connection or
// datagram beyond a cap, or one no task can be started for, is refused and
// reported, rate-limited.
//
// Thread safety: all members may be called from any task.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/socket.h"

namespace netrove {

inline constexpr int kListenerTableSize = 64;

using TcpHandler = std::function<uint32_t(SocketVar& client)>;

// One datagram handed from the UDP listener to a handler task. The
// listener has already taken it off the socket, so it never waits for a
// handler and a burst of datagrams does not overflow the socket's queue.
class UdpDatagramTicket {
 public:
  UdpDatagramTicket(int fd, std::string data, const sockaddr_in& from)
      : fd_(fd), data_(std::move(data)), from_(from) {}
  // The listening socket (open while the handler runs): replies go out
  // through it.
  int socket() const { return fd_; }
  // Copies the datagram (at most `length` bytes) and its sender; the byte
  // count, or -1 when it was taken already.
  int ReceiveDatagram(char* buffer, size_t length, sockaddr_in* from);

 private:
  int fd_;
  std::string data_;
  sockaddr_in from_;
  bool taken_ = false;
};

using UdpHandler = std::function<uint32_t(UdpDatagramTicket& ticket)>;

class Access;
class ClientCaps;
struct SocketOwner;
class Resolver;
class Task;
class Tasks;

// The two listener tables and their tasks, owned by the Network.
class PortServers {
 public:
  PortServers(Tasks& tasks, SocketLayer& sockets, Access& access, Resolver& resolver,
              ClientCaps& caps);
  // Shuts down, then stops the client tasks still running: they use the
  // layer, the caps and the access checks, which end with the network.
  ~PortServers();
  PortServers(const PortServers&) = delete;
  PortServers& operator=(const PortServers&) = delete;

  // Binds to 0.0.0.0, or to the local interface address when `hidden`.
  void ListenTcp(uint16_t port, SocketVar& var, TcpHandler handler, bool hidden);
  void ListenTcpLoopback(uint16_t port, SocketVar& var, TcpHandler handler);
  void ListenUdp(uint16_t port, SocketVar& var, UdpHandler handler, bool hidden);

  // Number of registered listeners of each kind.
  int TcpListenerCount() const;
  int UdpListenerCount() const;
  // True when one of the registered TCP listeners is bound to `port`.
  bool IsTcpListenerPort(uint16_t port) const;

  // Stops the listener tasks and closes every listener. Safe to call twice;
  // a later registration starts the listener task again.
  void Shutdown();

  struct Table;  // port_server.cc

 private:
  void Listen(Table& table, uint32_t address, uint16_t port, SocketVar& var, TcpHandler tcp_handler,
              UdpHandler udp_handler, bool internal = false);
  uint32_t Serve(Table& table);
  void StartTcpClient(const std::shared_ptr<ListenerEntry>& entry, int accepted, uint32_t address);
  bool HandOverDatagram(const std::shared_ptr<ListenerEntry>& entry,
                        const std::shared_ptr<SocketOwner>& owner, std::vector<char>& buffer);
  void KeepClient(const std::shared_ptr<Task>& task);

  Tasks& tasks_;
  SocketLayer& sockets_;
  Access& access_;
  Resolver& resolver_;
  ClientCaps& caps_;
  const std::shared_ptr<Table> tcp_;
  const std::shared_ptr<Table> udp_;
  std::mutex clients_mu_;
  std::vector<std::weak_ptr<Task>> clients_;  // guarded by clients_mu_
  size_t prune_at_ = 64;                      // guarded by clients_mu_
};

// Used by CloseSocketVar and SocketVar::handle().
void DropListener(const std::shared_ptr<ListenerEntry>& entry);
bool ListenerRegistered(const std::shared_ptr<ListenerEntry>& entry);

}  // namespace netrove
