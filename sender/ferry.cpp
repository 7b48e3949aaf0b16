// ferry: asks for the name of a file in the current directory and sends it
// to wharf on this machine: name, size, then the contents in 503-byte blocks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "block_sender.hpp"
#include "console.hpp"
#include "fd.hpp"
#include "pacing.hpp"
#include "read_name.hpp"
#include "receiver_queue.hpp"
#include "transfer.hpp"

namespace {

constexpr const char* ME = "ferry";
constexpr const char* USAGE =
    "Sends one file to wharf on this machine, over UDP port 8885.\n"
    "Takes no arguments: start wharf first, run ferry in the directory that\n"
    "holds the file, and type the file's name at the prompt. See ferry(1).\n";
constexpr const char* HOW = "run ferry, then type the name at its prompt";

Fd open_socket() {
  Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 17));
  if (!sock)
    die("socket");
  return sock;
}

sockaddr_in destination() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(PORT);
  if (::inet_aton(LOOPBACK, &addr.sin_addr) == 0) {
    std::fwrite("inet_aton() failed\n", 1, 19, stderr);
    std::exit(1);
  }
  return addr;
}

void ask_for_name(char (&name)[CTRL_LEN], bool* more_words) {
  print_prompt("Enter Filename with extension: ");
  switch (read_name(stdin, name, more_words)) {
  case NameRead::none:
    fail(ME, "no file name was typed; nothing sent");
  case NameRead::too_long:
    fail(ME, "the name \"%s\" is over %zu bytes; nothing sent", shown(name, true).text,
         NAME_MAX_LEN);
  case NameRead::ok:
    break;
  }
  if (const char* problem = name_problem(name))
    fail(ME, "refused the name \"%s\": %s%s; nothing sent", shown(name).text, problem,
         std::strchr(name, '/') != nullptr ? " (run ferry in its directory)" : "");
}

// The length of the open file, or -1 with errno set; `regular` says
// whether it is a regular file, the only kind whose length is its size.
off_t fsize(int file, bool* regular) {
  struct stat st {};
  if (::fstat(file, &st) != 0)
    return -1;
  *regular = S_ISREG(st.st_mode);
  return st.st_size;
}

// Opens the file once: it is measured and read through the same descriptor.
// O_NONBLOCK keeps a FIFO from holding the open until a writer comes.
Fd open_source(const char* name, bool more_words, std::uint64_t* size) {
  Fd file(::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file)
    fail(ME, "cannot open %s: %s%s; nothing sent", name, std::strerror(errno),
         more_words ? " (a name is one word)" : "");
  bool regular = false;
  const off_t length = fsize(file.get(), &regular);
  if (length < 0)
    die("fstat");
  if (!regular)
    fail(ME, "%s is not a regular file; nothing sent", name);
  if (static_cast<std::uint64_t>(length) > SIZE_MAX_BYTES)
    fail(ME, "%s is %lld bytes; files must be under 2 GiB; nothing sent", name,
         static_cast<long long>(length));
  *size = static_cast<std::uint64_t>(length);
  return file;
}

[[noreturn]] void nothing_receiving() {
  fail(ME, "nothing is receiving on UDP port %u (start wharf first); nothing sent", PORT);
}

// What a receiver that has gone, or refused a send, means to this ferry:
// before it said the copy was prepared, it refused the copy; after, it
// stopped short. Its own message, if it printed one, says why.
constexpr const char* REFUSED = "wharf refused the copy";
constexpr const char* STOPPED = "wharf stopped before it had the whole file";

[[noreturn]] void wharf_not_reading() {
  fail(ME, "wharf has not read for %lld seconds; no copy made",
       static_cast<long long>(STALL_LIMIT.count()));
}

[[noreturn]] void wharf_gone(const char* gone) {
  fail(ME, "%s; no copy made", gone);
}

[[noreturn]] void send_failed(const char* gone) {
  // Once wharf has heard this ferry, the kernel's port-unreachable answer,
  // reported on the connected socket, means wharf's socket has gone.
  if (errno == ECONNREFUSED)
    wharf_gone(gone);
  die("sendto()");
}

// Waits until the receiver has taken `step`. `gone` says what a receiver
// that has gone meanwhile did.
void await(ReceiverQueue& queue, Step step, const char* gone) {
  switch (await_receiver(queue, step)) {
  case Hearing::ok:
  case Hearing::unknown:
    return;
  case Hearing::busy:
    fail(ME, "wharf took another sender's transfer; try again later; no copy made");
  case Hearing::gone:
    wharf_gone(gone);
  case Hearing::stalled:
    if (step == Step::copy_prepared)
      fail(ME, "wharf did not get ready for the copy in %lld seconds; no copy made",
           static_cast<long long>(STALL_LIMIT.count()));
    wharf_not_reading();
  }
}

// Connecting fixes the destination and lets the kernel report a missing
// receiver; the datagrams themselves are the same as with sendto. Returns
// the gauge of the receiving socket's queue.
ReceiverQueue connect_to_receiver(int sock, const sockaddr_in& to) {
  sockaddr_in from{};
  socklen_t length = sizeof from;
  if (::connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
    die("connect");
  if (::getsockname(sock, reinterpret_cast<sockaddr*>(&from), &length) != 0)
    die("getsockname");
  ReceiverQueue queue(from, to);
  QueueLevel level{};
  if (queue.look(&level) == Lookup::absent) {
    if (queue.port_taken())
      fail(ME, "wharf is busy with another transfer; try again later; nothing sent");
    nothing_receiving();
  }
  return queue;
}

void send_name(int sock, const char* name) {
  if (!send_datagram(sock, name_datagram(name).bytes, CTRL_LEN)) {
    if (errno == ECONNREFUSED)
      nothing_receiving();
    die("sendto()");
  }
}

void send_size(int sock, std::uint64_t size) {
  if (!send_datagram(sock, size_datagram(size).bytes, CTRL_LEN))
    send_failed(REFUSED);
}

void check(Sent sent, const char* name) {
  switch (sent) {
  case Sent::ok:
    return;
  case Sent::shrank:
    fail(ME, "%s shrank while it was sent; no copy made", name);
  case Sent::unreadable:
    fail(ME, "cannot read %s: %s; no copy made", name, std::strerror(errno));
  case Sent::refused:
    send_failed(STOPPED);
  }
}

std::size_t room_at_receiver(Pacer& pacer) {
  const std::size_t room = pacer.room();
  if (room == 0)
    wharf_not_reading();
  return room;
}

// The full blocks in batches the receiver's queue has room for.
void send_blocks(BlockSender& out, std::uint64_t size, const char* name, QueueGauge& queue) {
  Pacer pacer(queue);
  for (std::uint64_t left = full_blocks(size); left > 0;) {
    const std::size_t count =
        std::min<std::uint64_t>({left, out.batch_blocks(), room_at_receiver(pacer)});
    check(out.send_blocks(count), name);
    pacer.sent(count);
    left -= count;
  }
}

// The last datagram's port-unreachable answer, if any, waits on the socket.
void confirm_delivery(int sock) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
    errno = error;
    send_failed(STOPPED);
  }
}

} // namespace

int main(int argc, char** argv) {
  take_no_arguments(ME, argc, argv, USAGE, HOW);
  Fd sock = open_socket();
  const sockaddr_in to = destination();

  char name[CTRL_LEN];
  bool more_words = false;
  ask_for_name(name, &more_words);
  std::uint64_t size = 0;
  Fd file = open_source(name, more_words, &size);
  ReceiverQueue queue = connect_to_receiver(sock.get(), to);

  // ferry's exit status may only say a copy was made if this wharf took
  // this ferry's name, prepared the copy, read every full block and was
  // still there for the final datagram.
  send_name(sock.get(), name);
  await(queue, Step::name_taken, REFUSED);
  print_number(final_length(size));
  send_size(sock.get(), size);
  await(queue, Step::copy_prepared, REFUSED);
  BlockSender out(sock.get(), file.get());
  send_blocks(out, size, name, queue);
  await(queue, Step::blocks_read, STOPPED);
  check(out.send_final(final_length(size)), name);
  confirm_delivery(sock.get());
  return 0;
}
