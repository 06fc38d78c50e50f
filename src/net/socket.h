// Sockets of the network layer: the SocketVar that owns one IPv4 socket and
// its read-ahead buffer, and the operations every service and client uses
// to read, write, wait on and close it.
//
// Every open SocketVar belongs to a SocketLayer: the timings it waits by,
// the traffic counters its bytes count in and the receive budget it shares.
// The layer must outlive the sockets that are open on it.
//
// Contract: every operation that fails closes the SocketVar (handle -1), so
// a caller only has to test `var.handle()`. Nothing here throws or logs.
// Every wait is bounded (NetTimings) and ends at once when the calling task
// is asked to stop. Sends never raise SIGPIPE.
//
// Thread safety: one SocketVar is used by one task at a time. The layer may
// be used from any task; its counters are atomic.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "net/net_settings.h"

namespace netrove {

struct ListenerEntry;  // port_server.cc

inline constexpr size_t kReadAheadSize = 512;
inline constexpr int kReceiveBudget = 5000;
inline constexpr int kUncountedSlots = 50;

// Traffic statistics (bytes). Totals and rates are read by the front-end.
struct TrafficCounters {
  std::atomic<uint32_t> received_total{0};
  std::atomic<uint32_t> sent_total{0};
  std::atomic<uint32_t> received_tick{0};
  std::atomic<uint32_t> sent_tick{0};
  std::atomic<uint32_t> receive_rate{0};
  std::atomic<uint32_t> send_rate{0};
  std::atomic<uint32_t> rate_sum{0};
  std::atomic<uint32_t> rate_ticks{0};
  std::atomic<uint32_t> average_rate{0};
};

// What the sockets of one network share: timings, traffic counters, the
// count of receiving tasks and the table of uncounted sockets.
class SocketLayer {
 public:
  explicit SocketLayer(const NetTimings& timings = NetTimings()) : timings_(timings) {}
  SocketLayer(const SocketLayer&) = delete;
  SocketLayer& operator=(const SocketLayer&) = delete;

  NetTimings Timings() const;
  void SetTimings(const NetTimings& timings);

  TrafficCounters& traffic() { return traffic_; }
  void ResetTraffic();
  // One "Calc CPS" step for a tick of two seconds.
  void CalcCpsTick();

  // Tasks currently inside ReceiveChunk on this layer's sockets.
  int ReceivingTasks() const { return receiving_.load(); }
  std::atomic<int>& receiving() { return receiving_; }

  // Sockets whose received bytes count in the total but not in the rate
  // (at most 50). Add returns false when the table is full.
  bool AddUncounted(int fd);
  void RemoveUncounted(int fd);
  bool IsUncounted(int fd) const;

 private:
  mutable std::mutex mu_;
  NetTimings timings_;  // guarded by mu_
  TrafficCounters traffic_;
  std::atomic<int> receiving_{0};
  std::array<std::atomic<int>, kUncountedSlots> uncounted_{};
};

// A socket handle owned by a service or a task. Move-only; the destructor
// closes it. A handle below 1 means there is no socket; every close stores -1.
class SocketVar {
 public:
  SocketVar() = default;
  SocketVar(SocketLayer& layer, int fd) : fd_(fd), layer_(&layer) {}
  ~SocketVar();
  SocketVar(SocketVar&& other) noexcept;
  SocketVar& operator=(SocketVar&& other) noexcept;
  SocketVar(const SocketVar&) = delete;
  SocketVar& operator=(const SocketVar&) = delete;

  // The handle, or -1. A listener dropped by its port server reads as -1.
  int handle() const;
  bool is_open() const { return handle() >= 1; }
  // Bytes read ahead and not yet handed out.
  size_t buffered() const;
  // The layer the socket belongs to (null for one never opened).
  SocketLayer* layer() const { return layer_; }

 private:
  friend void CloseSocketVar(SocketVar& var);
  friend void HoldUntilClosed(SocketVar& var, std::shared_ptr<void> held);
  friend struct SocketAccess;  // socket.cc: the reads behind ReadBuffered
  friend void AttachListener(SocketVar& var, SocketLayer& layer,
                             std::shared_ptr<ListenerEntry> entry);

  struct ReadAhead {
    char data[kReadAheadSize];
    uint16_t count = 0;
    uint16_t position = 0;
  };

  int fd_ = -1;
  SocketLayer* layer_ = nullptr;
  std::unique_ptr<ReadAhead> read_ahead_;
  std::shared_ptr<ListenerEntry> listener_;  // set for sockets registered with a port server
  std::shared_ptr<void> held_;               // released as the socket closes
};

// Keeps `held` (a client's place under the caps) until the socket is
// closed, and lets it go just before: by the time the peer sees the close
// the place is free again. Were it freed after, a client that reconnects at
// once (and the wake-up lets it run before the closing task) could find its
// own finished connections still counted.
void HoldUntilClosed(SocketVar& var, std::shared_ptr<void> held);

// Closes the socket (shutdown for sending first) and frees its buffer.
// A registered listener is removed from its table. Always leaves -1.
void CloseSocketVar(SocketVar& var);

// The only data receive: at most 512 bytes and at most this task's share of
// the 5000-byte budget (5000 / receiving tasks, 50..512). Bytes already
// waiting are taken at once; an empty socket is waited on up to the receive
// time-out (urgent data fails that wait). Returns the count, or 0 after
// closing the socket.
int ReceiveChunk(SocketVar& var, char* dest, size_t max_length);
// Share of the budget for `receivers` tasks receiving at once.
size_t ReceiveShare(int receivers);

// -1 if already closed; 0 (now closed) on end of stream, error or time-out;
// else 1..max_length bytes, served from the socket's read-ahead buffer.
int ReadBuffered(SocketVar& var, char* dest, size_t max_length);

// For relaying a body: the bytes read ahead, then, in one receive, up to
// `max_length` bytes in all (what one send can pass on); waits as
// ReadBuffered only when nothing is there. Results as ReadBuffered's.
int ReadBufferedGather(SocketVar& var, char* dest, size_t max_length);

// One line without its terminator: byte 10 ends it, bytes 0 and 13 are
// dropped; the limit takes effect in steps of 255 characters. Returns false
// when the socket was closed (the line holds what was read before).
bool ReadLine(SocketVar& var, size_t max_length, std::string& line);

// Sends everything; a length of 0 succeeds without touching the socket.
bool SendBuffer(SocketVar& var, const void* data, size_t length);
// The text, then CR LF as a second send; the result is that of CR LF.
bool SendLine(SocketVar& var, const std::string& text);

// False (socket left open) on pending urgent data; false after closing it
// when the peer has gone; true otherwise.
bool IsConnectionAlive(SocketVar& var);
// Sends small blocks at once (TCP_NODELAY): a relay passes blocks as they
// arrive, and waiting for the peer's ACK before the next only adds latency.
void SetNoDelay(const SocketVar& var);
// True when nothing is read ahead and the peer has ended its sending side
// (it may still read): a read would only find the end. Leaves the socket
// open.
bool PeerEndedSending(SocketVar& var);

// One socket of a wait, with what to wait for and what was found.
struct SocketWait {
  SocketVar* socket = nullptr;
  bool want_read = true;
  bool want_write = false;
  bool want_except = false;
  bool readable = false;
  bool writable = false;
  bool exceptional = false;
};
// select-like: sockets with bytes in their read-ahead buffer count as
// readable at once (and then nothing else is reported). Otherwise waits up
// to `timeout_ms`. Returns the number of sockets with anything reported,
// 0 on time-out, -1 on error or stop.
int WaitReadable(std::span<SocketWait> waits, int64_t timeout_ms);

// Relays both directions until either side closes, urgent data arrives or
// both are silent for the relay idle time (of the layer of `a`); closes both. Reads blocks of up
// to 900 bytes; the blocks already waiting behind the first go out with it
// in one send.
void RelaySockets(SocketVar& a, SocketVar& b);

// Local port (host order), 0 when unknown.
uint16_t GetLocalPort(int fd);
// Local (the address the peer reached) and peer IPv4 address in network
// order, 0 when unknown.
uint32_t GetLocalAddress(int fd);
uint32_t GetPeerAddress(int fd);
std::string DottedAddress(uint32_t network_order);
// True for an address of this machine: loopback (127/8), unspecified
// (0.0.0.0) or the address of one of its interfaces.
bool IsOwnAddress(uint32_t network_order);
// Host name of an address, "" when there is none.
std::string ReverseLookup(uint32_t network_order);

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null when missing),
// so that no socket ever gets a number below 3. Call first thing at start.
void KeepStandardDescriptorsOpen();

}  // namespace netrove
