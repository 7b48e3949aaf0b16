// What the kernel says about the socket that receives ferry's datagrams:
// whether it is there, whose it is, whom it listens to, how full its queue
// is, which of wharf's steps it shows, and whether it is still the socket
// first found there.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "sock_diag.hpp"

struct QueueLevel {
  std::uint32_t used = 0;     // bytes charged to the queue (rmem_alloc): drops are judged on it
  std::uint32_t capacity = 0; // the socket's receive buffer (rcvbuf)
  std::uint32_t waiting = 0;  // charge of the datagrams queued and not yet read
  bool hears_us = false;      // the socket is connected to this sender
  bool ready = false;         // it has shut down its sending side: wharf's "copy prepared"
  bool in_place = false;      // both sides shut down: wharf's "copy in place"
  bool wharf = false;         // the socket carries wharf's mark
  std::uint8_t mark = 0;      // which of wharf's marks: it alternates while the copy is synced
  std::uint32_t owner = 0;    // the user the socket belongs to
  bool replaced = false;      // another socket than the one first found holds the port
  std::uint32_t drops = 0;    // datagrams the kernel dropped there since the first look
};

class QueueGauge {
public:
  virtual ~QueueGauge() = default;
  virtual Lookup look(QueueLevel* level) = 0;
  // Whether any socket holds the destination port, whoever it listens to:
  // a receiver connected to another sender is not found by look().
  virtual bool port_taken() { return false; }
  // Whether another socket than this sender's sends to the receiver's port
  // (one connected to it), and whose.
  virtual bool other_sender(std::uint32_t* /*owner*/) { return false; }
};

// Asks about the socket that receives what `from` sends to `to`.
class ReceiverQueue final : public QueueGauge {
public:
  ReceiverQueue(const sockaddr_in& from, const sockaddr_in& to) : from_(from), to_(to) {}
  Lookup look(QueueLevel* level) override;
  bool port_taken() override { return kernel_.port_bound(to_.sin_port); }
  bool other_sender(std::uint32_t* owner) override;

private:
  SockDiag kernel_;
  sockaddr_in from_, to_;
  bool seen_ = false;
  std::uint64_t cookie_ = 0;      // the receiving socket first found
  std::uint32_t drops_first_ = 0; // its drop count then
};
