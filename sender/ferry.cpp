// ferry: asks for the name of a file in the current directory and sends it
// to wharf on this machine: name, size, then the contents in 503-byte blocks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "arguments.hpp"
#include "block_sender.hpp"
#include "console.hpp"
#include "failure.hpp"
#include "fd.hpp"
#include "handshake.hpp"
#include "line_editor.hpp"
#include "origin.hpp"
#include "pacing.hpp"
#include "progress.hpp"
#include "read_name.hpp"
#include "receiver_queue.hpp"
#include "rights.hpp"
#include "shown.hpp"
#include "source_file.hpp"
#include "transfer.hpp"

namespace {

constexpr const char* ME = "ferry";
constexpr const char* USAGE =
    "Sends one file to wharf on this machine, over UDP port 8885.\n"
    "Takes no arguments: start wharf first, run ferry in the directory that\n"
    "holds the file, and type the file's name at the prompt. See ferry(1).\n";
constexpr const char* HOW = "run ferry, then type the name at its prompt";
constexpr const char* PROMPT = "Enter Filename with extension: ";

// What a receiver that has gone, or refused a send, means to this ferry:
// before it said the copy was prepared, it refused the copy; after, it
// stopped short. Its own message, if it printed one, says why.
constexpr const char* REFUSED = "wharf refused the copy";
constexpr const char* STOPPED = "wharf stopped before it had the whole file";
constexpr const char* NOT_IN_PLACE = "wharf could not put the copy in place";

Failure nothing_receiving() {
  return Failure::said("nothing is receiving on UDP port %u (start wharf first)", PORT);
}

Failure not_reading() {
  return Failure::said("wharf has not read for %s", seconds_text(stall_limit()).text);
}

// A send the socket refused. Once wharf has heard this ferry, the kernel's
// port-unreachable answer, reported on the connected socket, means wharf's
// socket has gone.
Failure send_refused(const char* gone) {
  if (errno == ECONNREFUSED)
    return Failure::said("%s", gone);
  return Failure::call("sendto()");
}

// The name typed at the prompt: through the line editor where the user
// is at a terminal, else read from the stream byte for byte as scanf("%s")
// would. At a terminal, nothing of a refused line is left for the shell.
NameRead ask_for_name(char (&name)[CTRL_LEN], bool* more_words) {
  const bool terminal = ::isatty(STDIN_FILENO) != 0;
  if (terminal && ::isatty(STDOUT_FILENO) && have_line_editor()) {
    for (;;) {
      const EditedLine line(PROMPT);
      if (line.ended()) {
        prompt_left_open();
        return NameRead::none;
      }
      const NameRead read = first_word(line.text(), name, more_words);
      if (read != NameRead::none)
        return read;
    }
  }
  print_prompt(PROMPT);
  const NameRead read = read_name(stdin, name, more_words);
  if (terminal && read == NameRead::too_long)
    skip_line(stdin);
  if (terminal && read == NameRead::none)
    prompt_left_open();
  return read;
}

Failure typed_name(char (&name)[CTRL_LEN]) {
  bool more_words = false;
  switch (ask_for_name(name, &more_words)) {
  case NameRead::none:
    return Failure::said("no file name was typed");
  case NameRead::too_long:
    return Failure::said("the name \"%s\" is over %zu bytes", shown(name, true).text, NAME_MAX_LEN);
  case NameRead::ok:
    break;
  }
  // Sending the first word would copy a file the user did not name.
  if (more_words)
    return Failure::said("the line holds more than one word (the first is \"%s\"); a name is "
                         "one word",
                         shown(name).text);
  if (const char* problem = name_problem(name))
    return Failure::said("refused the name \"%s\": %s%s", shown(name).text, problem,
                         std::strchr(name, '/') != nullptr ? " (run ferry in its directory)" : "");
  return {};
}

// Connecting fixes the destination and lets the kernel report a missing
// receiver; the datagrams themselves are the same as with sendto. `from`
// is where this ferry sends from.
Failure connect_to(int sock, const sockaddr_in& to, sockaddr_in* from) {
  socklen_t length = sizeof *from;
  if (::connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
    return Failure::call("connect");
  if (::getsockname(sock, reinterpret_cast<sockaddr*>(from), &length) != 0)
    return Failure::call("getsockname");
  return {};
}

// The receiving socket as ferry first saw it.
struct Receiver {
  bool known = false; // the kernel could be asked
  uid_t owner = 0;
  bool wharf = false; // it carries wharf's mark: a plain receiver shows no steps
};

// Something must be receiving before the name goes out, and if it is
// another user's, that user must be able to read the file anyway: ferry
// gives no one a file they could not read.
Failure receiver_present(ReceiverQueue& queue, const Source& source, const char* name,
                         Receiver* receiver) {
  QueueLevel level{};
  switch (queue.look(&level)) {
  case Lookup::unavailable:
    return {};
  case Lookup::absent:
    if (queue.port_taken())
      return Failure::said("wharf is busy with another transfer; try again later");
    return nothing_receiving();
  case Lookup::found:
    break;
  }
  *receiver = {true, level.owner, level.wharf};
  if (answers_for_itself(level.owner))
    return {};
  const User user = user_of(level.owner);
  if (readable_by(user, source))
    return {};
  return Failure::said("port %u is held by user %s, who could not read %s", PORT, user.name, name);
}

Failure send_name(int sock, const char* name) {
  if (send_datagram(sock, name_datagram(name).bytes, CTRL_LEN))
    return {};
  return errno == ECONNREFUSED ? nothing_receiving() : Failure::call("sendto()");
}

Failure send_size(int sock, std::uint64_t size) {
  if (send_datagram(sock, size_datagram(size).bytes, CTRL_LEN))
    return {};
  return send_refused(REFUSED);
}

Failure replaced(const QueueLevel& now) {
  return Failure::said("port %u is now held by a socket of user %s, not the receiver this ferry "
                       "began with; nothing more sent",
                       PORT, user_of(now.owner).name);
}

Failure flooded(QueueGauge& queue, const QueueLevel& now) {
  std::uint32_t owner = 0;
  char by[64] = "";
  if (queue.other_sender(&owner))
    std::snprintf(by, sizeof by, " (user %s also sends to port %u)", user_of(owner).name, PORT);
  return Failure::said("wharf's queue overflowed before it took this ferry's name: the kernel "
                       "dropped %u datagrams there%s",
                       static_cast<unsigned>(now.drops), by);
}

// Waits until the receiver has taken `step`. `gone` says what a receiver
// that has gone meanwhile did.
Failure await(ReceiverQueue& queue, Step step, const char* gone, uid_t owner, Progress& progress,
              std::uint32_t charge = CHARGE_PER_DATAGRAM) {
  QueueLevel now{};
  switch (await_step(queue, step, stall_limit(), &now, &progress, charge)) {
  case WaitResult::taken:
  case WaitResult::unknown:
    return {};
  case WaitResult::busy:
    return Failure::said("wharf took another sender's transfer; try again later");
  case WaitResult::ignored:
    return Failure::said("the wharf of user %s ignored this ferry: it takes a copy only from users "
                         "who may write in its folder",
                         user_of(owner).name);
  case WaitResult::flooded:
    return flooded(queue, now);
  case WaitResult::replaced:
    return replaced(now);
  case WaitResult::gone:
    return Failure::said("%s", gone);
  case WaitResult::stalled:
    break;
  }
  if (step == Step::copy_prepared)
    return Failure::said("wharf did not get ready for the copy in %s",
                         seconds_text(stall_limit()).text);
  if (step == Step::in_place)
    return Failure::told("wharf showed no sign of putting the copy in place for %s; "
                         "the copy is not known to be made",
                         seconds_text(stall_limit()).text);
  return not_reading();
}

Failure sending_failed(Sent sent, const char* name) {
  switch (sent) {
  case Sent::ok:
    break;
  case Sent::shrank:
    return Failure::said("%s shrank while it was sent", name);
  case Sent::unreadable:
    return Failure::said("cannot read %s: %s", name, std::strerror(errno));
  case Sent::refused:
    return send_refused(STOPPED);
  }
  return {};
}

// What the status line shows of the contents: the bytes the receiver has
// taken, which are those sent less those still in its queue, also while
// ferry waits for room there.
class Taken final : public WaitingForRoom {
public:
  explicit Taken(Progress& progress) : progress_(progress) {}
  void follow(const Pacer* pacer) { pacer_ = pacer; }
  void sent(std::uint64_t blocks) {
    sent_ = blocks;
    still_waiting();
  }
  void still_waiting() override {
    const std::uint64_t queued = std::min<std::uint64_t>(sent_, pacer_->queued());
    progress_.update((sent_ - queued) * BLOCK_SIZE);
  }

private:
  Progress& progress_;
  const Pacer* pacer_ = nullptr;
  std::uint64_t sent_ = 0;
};

// The full blocks in batches the receiver's queue has room for.
Failure send_blocks(BlockSender& out, const Source& source, const char* name, QueueGauge& queue,
                    Progress& progress, std::uint32_t* charge) {
  Taken taken(progress);
  Pacer pacer(queue, &taken);
  taken.follow(&pacer);
  progress.start(source.size);
  for (std::uint64_t left = full_blocks(source.size); left > 0;) {
    const std::size_t room = pacer.room();
    if (room == 0)
      return pacer.replaced() ? replaced(pacer.last()) : not_reading();
    const std::size_t count = std::min<std::uint64_t>({left, out.batch_blocks(), room});
    const Failure failed = sending_failed(out.send_blocks(count), name);
    if (failed)
      return failed;
    pacer.sent(count);
    left -= count;
    taken.sent(full_blocks(source.size) - left);
    *charge = pacer.seen_charge();
  }
  return {};
}

// The final datagram, then its port-unreachable answer, if any, which
// waits on the socket.
Failure send_final(BlockSender& out, const Source& source, const char* name, int sock) {
  const Failure failed = sending_failed(out.send_final(final_length(source.size)), name);
  if (failed)
    return failed;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
    errno = error;
    return send_refused(STOPPED);
  }
  return {};
}

} // namespace

int main(int argc, char** argv) {
  if (const Asked asked = read_arguments(argc, argv); asked != Asked::transfer)
    return answer(ME, asked, argc, argv, USAGE, HOW);
  // The terminal's character set, so that the line editor takes a name
  // in it as typed; messages and numbers stay in the C locale.
  // Unchecked: where the locale is missing, names are taken byte by byte.
  (void)std::setlocale(LC_CTYPE, "");
  // A failure before the name has gone out has sent nothing.
  Outcome outcome = Outcome::nothing_sent;
  const auto check = [&outcome](const Failure& failure) {
    if (failure)
      fail(ME, failure.with(outcome));
  };
  const Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 17));
  check(called("socket", static_cast<bool>(sock)));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(PORT);
  check(::inet_aton(LOOPBACK, &to.sin_addr) != 0 ? Failure() : Failure::bare("inet_aton() failed"));

  // Everything that can be refused is refused before anything is sent.
  char name[CTRL_LEN];
  check(typed_name(name));
  Source source;
  check(open_source(name, &source));
  Fd guard;
  check(send_from_own_address(sock.get(), source.mode, &guard));
  sockaddr_in from{};
  check(connect_to(sock.get(), to, &from));
  ReceiverQueue queue(from, to);
  Receiver receiver;
  check(receiver_present(queue, source, name, &receiver));

  // ferry's exit status says a copy was made only once this wharf took
  // this ferry's name, prepared the copy, read every full block, and had
  // the copy in place and on disk.
  Progress progress;
  check(send_name(sock.get(), name));
  outcome = Outcome::no_copy;
  check(await(queue, Step::name_taken, REFUSED, receiver.owner, progress));
  print_number(final_length(source.size));
  check(send_size(sock.get(), source.size));
  check(await(queue, Step::copy_prepared, REFUSED, receiver.owner, progress));
  BlockSender out(sock.get(), source.file.get());
  std::uint32_t charge = CHARGE_PER_DATAGRAM;
  check(send_blocks(out, source, name, queue, progress, &charge));
  check(await(queue, Step::blocks_read, STOPPED, receiver.owner, progress, charge));
  check(send_final(out, source, name, sock.get()));
  if (receiver.wharf)
    check(await(queue, Step::in_place, NOT_IN_PLACE, receiver.owner, progress));
  clear_status();
  if (receiver.known && receiver.owner != ::geteuid())
    warn(ME, Failure::said("the copy went to a receiver of user %s, not one of yours",
                           user_of(receiver.owner).name));
  return 0;
}
