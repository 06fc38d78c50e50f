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
// handler must take its datagram with ReceiveDatagram before any long work.
//
// Thread safety: all functions may be called from any task.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "net/socket.h"

namespace netrove {

inline constexpr int kListenerTableSize = 64;

using TcpHandler = std::function<uint32_t(SocketVar& client)>;

// The datagram hand-over between the UDP listener and a handler task.
class UdpDatagramTicket {
 public:
  explicit UdpDatagramTicket(int fd) : fd_(fd) {}
  // The listening socket (valid until the ticket is taken or abandoned).
  int socket() const { return fd_; }
  // Receives the waiting datagram (without waiting) and marks the ticket
  // taken. Returns the byte count, or -1 when there was none or the
  // listener gave up waiting for this handler.
  int ReceiveDatagram(char* buffer, size_t length, sockaddr_in* from);
  bool taken() const { return state_.load() == kTaken; }
  // Listener side: gives up on the handler unless it is reading right now.
  bool Abandon();

 private:
  enum : uint8_t { kWaiting, kReading, kTaken, kAbandoned };
  int fd_;
  std::atomic<uint8_t> state_{kWaiting};
};

using UdpHandler = std::function<uint32_t(UdpDatagramTicket& ticket)>;

// Binds to 0.0.0.0, or to LocalInterfaceAddress() when `hidden`.
void ListenTcp(uint16_t port, SocketVar& var, TcpHandler handler, bool hidden);
void ListenTcpLoopback(uint16_t port, SocketVar& var, TcpHandler handler);
void ListenUdp(uint16_t port, SocketVar& var, UdpHandler handler, bool hidden);

// Number of registered listeners of each kind.
int TcpListenerCount();
int UdpListenerCount();

// Starts the layer once: standard descriptors, tables, "Calc CPS",
// "Bad URL checker", the hosts file and the local interface name; puts
// ShutdownNetwork in the exit chain. Later calls do nothing.
void StartNetwork();
// Stops the listener tasks and closes every listener. Safe to call twice.
void ShutdownNetwork();

// Used by CloseSocketVar and SocketVar::handle().
void DropListener(const std::shared_ptr<ListenerEntry>& entry);
bool ListenerRegistered(const std::shared_ptr<ListenerEntry>& entry);

}  // namespace netrove
