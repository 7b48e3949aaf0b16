// Where wharf's datagrams come in. The first one, from anyone, is awaited
// without end; it fixes the sender, and from then on only that sender is
// heard and a silence of SILENCE_LIMIT ends the wait.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>

inline constexpr std::chrono::seconds SILENCE_LIMIT{10};

struct Arrival {
  std::size_t length;  // bytes in the buffer
  std::size_t segment; // each datagram's length in a coalesced batch
  bool truncated;      // larger than the buffer
};

// Asks for coalesced receives (UDP_GRO) and a large receive queue, where
// the kernel allows them; without them the transfer still works, slower.
void tune_for_batches(int sock);

class Inbox {
public:
  explicit Inbox(int sock) : sock_(sock) {}
  // False with errno set: EAGAIN when the sender has gone silent.
  bool receive(char* buffer, std::size_t capacity, Arrival* arrival);

private:
  bool listen_only_to(const sockaddr_in& sender);
  int sock_;
  bool heard_ = false;
  sockaddr_in sender_{};
};
