// wharf: takes one file from ferry on UDP port 8885 and writes the copy
// into the current folder under the output name (notes.txt -> note1.txt).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fd.hpp"
#include "inbox.hpp"
#include "intake.hpp"
#include "temp_file.hpp"
#include "transfer.hpp"

namespace {

constexpr const char* ME = "wharf";

// Big enough for a coalesced batch of full blocks from ferry.
constexpr std::size_t RECEIVE_CAPACITY = BATCH_BLOCKS * BLOCK_SIZE;

Fd bind_port() {
  Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 17));
  if (!sock)
    die("socket");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(PORT);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == -1)
    die("bind");
  return sock;
}

Arrival receive(Inbox& inbox, char* buffer, const Intake& intake) {
  Arrival arrival{};
  if (!inbox.receive(buffer, RECEIVE_CAPACITY, &arrival)) {
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      fail(ME,
           "the sender went silent for %lld seconds; received %llu of %llu bytes, no copy written",
           static_cast<long long>(SILENCE_LIMIT.count()),
           static_cast<unsigned long long>(intake.received()),
           static_cast<unsigned long long>(intake.size()));
    die("recvfrom()");
  }
  if (arrival.truncated)
    fail(ME, "a datagram of more than %zu bytes arrived; this is not a ferry transfer",
         RECEIVE_CAPACITY);
  return arrival;
}

void announce(std::size_t number) {
  std::printf("%zu", number);
  std::fflush(stdout);
}

// One datagram in sequence order: the size, once checked, opens the copy;
// every datagram after it belongs in the copy. Returns whether it does.
bool take_datagram(Intake& intake, TempFile& copy, const char* data, std::size_t length) {
  const Stage before = intake.stage();
  if (!intake.take(data, length))
    fail(ME, "%s", intake.reason());
  if (before == Stage::size) {
    announce(intake.name_length());
    if (!copy.create())
      fail(ME, "cannot create the copy in this folder: %s; run wharf in a folder you can write to",
           std::strerror(errno));
    if (!copy.reserve(intake.size()))
      fail(ME, "no room for a copy of %llu bytes in this folder: %s",
           static_cast<unsigned long long>(intake.size()), std::strerror(errno));
  }
  if (intake.stage() == Stage::final_block && before != Stage::final_block)
    announce(final_length(intake.size()));
  return before == Stage::blocks || before == Stage::final_block;
}

// Takes each datagram of the arrival (one, or a coalesced batch of equal
// segments but for the last) in order, then writes what belongs in the
// copy with one call.
void take_arrival(Intake& intake, TempFile& copy, const char* buffer, const Arrival& arrival) {
  std::size_t content_from = arrival.length;
  for_each_datagram(buffer, arrival.length, arrival.segment, [&](const char* data, std::size_t n) {
    if (take_datagram(intake, copy, data, n))
      content_from = std::min(content_from, static_cast<std::size_t>(data - buffer));
    return true;
  });
  if (content_from < arrival.length &&
      !copy.append(buffer + content_from, arrival.length - content_from))
    fail(ME, "cannot write the copy of %s: %s; no copy written", intake.output_name(),
         std::strerror(errno));
}

} // namespace

int main() {
  const Fd sock = bind_port();
  tune_for_batches(sock.get());
  Inbox inbox(sock.get());

  // Name, size, full blocks, final block: the first datagram is awaited
  // without end, the rest come from its sender or the transfer ends.
  Intake intake;
  TempFile copy;
  char buffer[RECEIVE_CAPACITY];
  while (intake.stage() != Stage::done)
    take_arrival(intake, copy, buffer, receive(inbox, buffer, intake));

  if (!copy.commit(intake.output_name()))
    fail(ME, "cannot put the copy in place as %s: %s; no copy written", intake.output_name(),
         std::strerror(errno));
  return 0;
}
