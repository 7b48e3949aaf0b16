// wharf: takes one file from ferry on UDP port 8885 and writes the copy
// into the current directory under the output name (notes.txt -> note1.txt).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "arguments.hpp"
#include "beat.hpp"
#include "console.hpp"
#include "failure.hpp"
#include "fd.hpp"
#include "handshake.hpp"
#include "inbox.hpp"
#include "progress.hpp"
#include "reception.hpp"
#include "sender_check.hpp"
#include "temp_file.hpp"
#include "transfer.hpp"
#include "write_buffer.hpp"

namespace {

constexpr const char* ME = "wharf";
constexpr const char* USAGE =
    "Receives one file from ferry over UDP port 8885 and writes the copy in\n"
    "the current directory under the output name (notes.txt -> note1.txt).\n"
    "Takes no arguments: start it, then run ferry. See wharf(1).\n";
constexpr const char* HOW = "run wharf in the directory for the copy";

// Everything that can be checked about the copy is checked as the size
// comes, before any data: ferry sends the contents only once wharf says the
// copy is prepared, so a refusal reaches it whatever the file's size.
Failure prepare_copy(const Intake& intake, mode_t mode, TempFile& copy, WriteBuffer& buffer) {
  const char* name = intake.output_name();
  if (!can_replace(name)) {
    if (errno == EISDIR)
      return Failure::said("%s is a directory, so the copy cannot take its name", name);
    return Failure::said("cannot replace %s: %s", name, std::strerror(errno));
  }
  if (!copy.create(true, mode))
    return Failure::said("cannot create a file in this directory: %s", std::strerror(errno));
  if (!copy.reserve(intake.size()))
    return Failure::said("no room for %llu bytes here: %s",
                         static_cast<unsigned long long>(intake.size()), std::strerror(errno));
  buffer.write_to(copy.fd());
  return {};
}

// Writes out the rest, waits until the copy is on disk and names it.
Failure put_in_place(WriteBuffer& buffer, TempFile& copy, const char* name, bool replace) {
  if (buffer.finish() && copy.commit(name, replace))
    return {};
  if (errno == EEXIST)
    return Failure::said("%s appeared while the copy came, and its sender may not replace it",
                         name);
  return Failure::said("cannot put the copy in place as %s: %s", name, std::strerror(errno));
}

// The copy's name synced with its folder: the copy is made, whatever
// happens to this last step.
Failure name_on_disk(TempFile& copy, const char* name) {
  if (copy.sync_directory())
    return {};
  return Failure::told("%s is in place, but its name may not survive a power loss: %s", name,
                       std::strerror(errno));
}

} // namespace

int main(int argc, char** argv) {
  if (const Asked asked = read_arguments(argc, argv); asked != Asked::transfer)
    return answer(ME, asked, argc, argv, USAGE, HOW);
  const auto check = [](const Failure& failure) {
    if (failure)
      fail(ME, failure.with(Outcome::no_copy));
  };
  const Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 17));
  check(called("socket", static_cast<bool>(sock)));
  tune_for_batches(sock.get());
  Inbox inbox(sock.get());
  check(inbox.watch());
  check(wear_mark(sock.get()));
  // Declared before the buffer, so that a flush the buffer started is
  // over before the file closes.
  TempFile copy;
  WriteBuffer buffer;
  check(called("mmap", buffer.ready()));
  SenderCheck senders;
  Progress progress;
  Reception in(inbox, buffer, senders, progress, [](const Failure& f) { warn(ME, f); });
  // Bound only once everything is ready to receive: a sender that sends
  // at once and closes its socket is then read before it has gone.
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(PORT);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  check(called("bind",
               ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0));
  const Intake& intake = in.intake();

  // The name is awaited without end; from then on only its sender is
  // heard, and a silence ends the transfer.
  check(in.take_name());
  check(in.take_until(Stage::blocks));
  progress.start(intake.size());
  print_number(intake.name_length());
  check(prepare_copy(intake, senders.copy_mode(), copy, buffer));
  check(called("shutdown", say_ready(sock.get())));
  check(in.take_until(Stage::final_block));
  print_number(final_length(intake.size()));
  check(in.take_until(Stage::done));

  // Exit status 0 says the copy is in place and on disk, name and all,
  // and only the socket that sent the name can have sent the rest.
  check(senders.same_sender() ? Failure() : sender_lost(senders));
  {
    const Beat working(sock.get(), &progress);
    check(put_in_place(buffer, copy, intake.output_name(), !senders.no_replace()));
    check(name_on_disk(copy, intake.output_name()));
  }
  clear_status();
  check(called("shutdown", say_in_place(sock.get())));
  senders.await_sender_gone(silence_limit(), &progress);
  clear_status();
  return 0;
}
