// wharf: takes one file from ferry on UDP port 8885 and writes the copy
// into the current directory under the output name (notes.txt -> note1.txt).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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
    die(inbox.failed_call());
  }
  if (arrival.truncated)
    fail(ME, "a datagram over %zu bytes arrived: not a ferry transfer; no copy made",
         RECEIVE_CAPACITY);
  return arrival;
}

// Everything that can be checked about the copy is checked as the size
// comes, before any data: ferry sends the contents only once wharf says the
// copy is prepared, so a refusal reaches it whatever the file's size.
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

[[noreturn]] void write_failed(const Intake& intake) {
  fail(ME, "cannot write the copy of %s: %s; no copy made", intake.sent_name(),
       std::strerror(errno));
}

// Takes one arrival: the size, once checked, opens the copy and tells the
// sender that the copy is prepared; what belongs in the copy is written
// with one call.
void take(const Arrival& arrival, const char* buffer, Intake& intake, TempFile& copy,
          Inbox& inbox) {
  const Taken taken = take_arrival(intake, buffer, arrival.length, arrival.segment);
  if (taken.size_came)
    print_number(intake.name_length());
  if (taken.refused)
    fail(ME, "%s", intake.reason());
  if (taken.size_came) {
    prepare_copy(intake, copy);
    if (!inbox.say_ready())
      die("shutdown");
  }
  if (taken.final_due)
    print_number(final_length(intake.size()));
  const std::size_t content = arrival.length - taken.content_from;
  if (content > 0 && !copy.append(buffer + taken.content_from, content))
    write_failed(intake);
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
  // Each arrival is received straight into the copy's write buffer.
  TempFile copy;
  while (intake.stage() != Stage::done) {
    char* buffer = copy.space(RECEIVE_CAPACITY);
    if (buffer == nullptr)
      write_failed(intake);
    take(receive(inbox, buffer, intake), buffer, intake, copy, inbox);
  }

  // Exit status 0 says the copy is in place and on disk, name and all.
  if (!copy.commit(intake.output_name()))
    fail(ME, "cannot put the copy in place as %s: %s; no copy made", intake.output_name(),
         std::strerror(errno));
  if (!copy.sync_directory())
    fail(ME, "%s is in place, but its name may not survive a power loss: %s", intake.output_name(),
         std::strerror(errno));
  return 0;
}
