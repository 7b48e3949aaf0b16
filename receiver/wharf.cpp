// wharf: takes one file from ferry on UDP port 8885 and writes the copy
// into the current directory under the output name (notes.txt -> note1.txt).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console.hpp"
#include "fd.hpp"
#include "inbox.hpp"
#include "intake.hpp"
#include "temp_file.hpp"
#include "transfer.hpp"

namespace {

constexpr const char* ME = "wharf";
constexpr const char* USAGE =
    "Receives one file from ferry over UDP port 8885 and writes the copy in\n"
    "the current directory under the output name (notes.txt -> note1.txt).\n"
    "Takes no arguments: start it, then run ferry. See wharf(1).\n";
constexpr const char* HOW = "run wharf in the directory for the copy";

// Big enough for a coalesced batch of full blocks from ferry.
constexpr std::size_t RECEIVE_CAPACITY = BATCH_BLOCKS * BLOCK_SIZE;

Fd open_socket() {
  Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 17));
  if (!sock)
    die("socket");
  return sock;
}

void bind_port(const Fd& sock) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(PORT);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == -1)
    die("bind");
}

[[noreturn]] void went_silent(const Intake& intake) {
  if (intake.stage() == Stage::size)
    fail(ME, "the sender went silent after the name; the size never came; no copy made");
  fail(ME, "the sender went silent for %lld s: %llu of %llu bytes came; no copy made",
       static_cast<long long>(SILENCE_LIMIT.count()),
       static_cast<unsigned long long>(intake.received()),
       static_cast<unsigned long long>(intake.size()));
}

Arrival receive(Inbox& inbox, char* buffer, const Intake& intake) {
  Arrival arrival{};
  if (!inbox.receive(buffer, RECEIVE_CAPACITY, &arrival)) {
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      went_silent(intake);
    if (errno == ENOBUFS)
      fail(ME, "the kernel dropped %u datagrams: the sender outran the queue; no copy made",
           static_cast<unsigned>(inbox.dropped()));
    die("recvfrom()");
  }
  if (arrival.truncated)
    fail(ME, "a datagram over %zu bytes arrived: not a ferry transfer; no copy made",
         RECEIVE_CAPACITY);
  return arrival;
}

// Everything that can be checked about the copy is checked as the size
// comes, before any data: a sender still sending then hears of a refusal
// at once, as its next send fails.
void prepare_copy(const Intake& intake, TempFile& copy) {
  const char* name = intake.output_name();
  if (!can_replace(name)) {
    if (errno == EISDIR)
      fail(ME, "%s is a directory, so the copy cannot take its name; no copy made", name);
    fail(ME, "cannot replace %s: %s; no copy made", name, std::strerror(errno));
  }
  if (!copy.create())
    fail(ME, "cannot create a file in this directory: %s; no copy made", std::strerror(errno));
  if (!copy.reserve(intake.size()))
    fail(ME, "no room for %llu bytes here: %s; no copy made",
         static_cast<unsigned long long>(intake.size()), std::strerror(errno));
}

// One datagram in sequence order: the size, once checked, opens the copy;
// every datagram after it belongs in the copy. Returns whether it does.
bool take_datagram(Intake& intake, TempFile& copy, const char* data, std::size_t length) {
  const Stage before = intake.stage();
  if (!intake.take(data, length))
    fail(ME, "%s", intake.reason());
  if (before == Stage::size) {
    print_number(intake.name_length());
    prepare_copy(intake, copy);
  }
  if (intake.stage() == Stage::final_block && before != Stage::final_block)
    print_number(final_length(intake.size()));
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
    fail(ME, "cannot write the copy of %s: %s; no copy made", intake.sent_name(),
         std::strerror(errno));
}

} // namespace

int main(int argc, char** argv) {
  take_no_arguments(ME, argc, argv, USAGE, HOW);
  const Fd sock = open_socket();
  tune_for_batches(sock.get());
  // Before binding, so that every datagram carries what the inbox checks.
  Inbox inbox(sock.get());
  bind_port(sock);

  // Name, size, full blocks, final block: the first datagram is awaited
  // without end, the rest come from its sender or the transfer ends.
  Intake intake;
  TempFile copy;
  char buffer[RECEIVE_CAPACITY];
  while (intake.stage() != Stage::done)
    take_arrival(intake, copy, buffer, receive(inbox, buffer, intake));

  // Exit status 0 says the copy is in place and on disk, name and all.
  if (!copy.commit(intake.output_name()))
    fail(ME, "cannot put the copy in place as %s: %s; no copy made", intake.output_name(),
         std::strerror(errno));
  if (!copy.sync_directory())
    fail(ME, "%s is in place, but its name may not survive a power loss: %s", intake.output_name(),
         std::strerror(errno));
  return 0;
}
