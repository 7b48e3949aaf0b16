// What the kernel says about the socket that receives ferry's datagrams,
// asked through NETLINK_SOCK_DIAG: whether it is there, whom it listens
// to, how full its queue is, and whether wharf has said it is ready.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "fd.hpp"

struct QueueLevel {
  std::uint32_t used = 0;     // bytes charged to the queue (rmem_alloc): drops are judged on it
  std::uint32_t capacity = 0; // the socket's receive buffer (rcvbuf)
  std::uint32_t waiting = 0;  // charge of the datagrams queued and not yet read
  bool hears_us = false;      // the socket is connected to this sender
  bool ready = false;         // it has shut down its sending side: wharf's "copy prepared"
};

enum class Lookup { found, absent, unavailable };

class QueueGauge {
public:
  virtual ~QueueGauge() = default;
  virtual Lookup look(QueueLevel* level) = 0;
  // Whether any socket holds the destination port, whoever it listens to:
  // a receiver connected to another sender is not found by look().
  virtual bool port_taken() { return false; }
};

// Asks about the socket that receives what `from` sends to `to`: the
// kernel looks it up just as it would deliver a datagram, so the answer is
// about the very socket the transfer fills.
class ReceiverQueue final : public QueueGauge {
public:
  ReceiverQueue(const sockaddr_in& from, const sockaddr_in& to);
  Lookup look(QueueLevel* level) override;
  bool port_taken() override;

private:
  Fd netlink_;
  sockaddr_in from_, to_;
};
