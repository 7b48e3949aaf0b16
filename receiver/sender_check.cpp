#include "sender_check.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <thread>
#include <utility>

#include "transfer.hpp"

namespace {

constexpr std::chrono::seconds NOTICE_EVERY{1};

// Whoever may have sent a datagram whose socket is gone: no user and no
// group, so only what is open to all.
constexpr uid_t ANYONE = static_cast<uid_t>(-1);
User anyone() {
  User u;
  u.uid = ANYONE;
  std::snprintf(u.name, sizeof u.name, "anyone");
  return u;
}

std::uint64_t address_key(const sockaddr_in& a) {
  return std::uint64_t{1} << 63 | std::uint64_t{ntohl(a.sin_addr.s_addr)} << 16 | ntohs(a.sin_port);
}

} // namespace

SenderCheck::Known& SenderCheck::known(uid_t uid) {
  for (std::size_t i = 0; i < known_count_ && i < std::size(known_); ++i)
    if (known_[i].user.uid == uid)
      return known_[i];
  Known& slot = known_[known_count_++ % std::size(known_)];
  slot = Known{};
  slot.user = uid == ANYONE ? anyone() : user_of(uid);
  return slot;
}

bool SenderCheck::may_put_here(uid_t uid, const char* output_name, bool* absent) {
  *absent = false;
  if (answers_for_itself(uid))
    return true;
  if (!here_)
    here_ = Fd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  Known& k = known(uid);
  // The way here changes seldom; a flood of names looks at it once a second.
  const Clock::time_point now = Clock::now();
  if (now >= k.reach_until) {
    k.reaches = here_ && may_reach(k.user, here_.get());
    k.reach_until = now + NOTICE_EVERY;
  }
  Access dir;
  if (!k.reaches || !access_of(here_.get(), &dir))
    return false;
  struct stat target {};
  const bool exists = output_name != nullptr &&
                      ::fstatat(here_.get(), output_name, &target, AT_SYMLINK_NOFOLLOW) == 0;
  // In a sticky folder, a name that is not there yet is the sender's to
  // take only as long as no one else takes it first.
  *absent = !exists && (dir.mode & S_ISVTX) != 0;
  return could_put(k.user, dir, exists ? &target : nullptr);
}

bool SenderCheck::said_lately(std::uint64_t key, Clock::time_point now) {
  if (std::any_of(std::begin(said_), std::end(said_),
                  [&](const Said& s) { return s.key == key && now - s.at < NOTICE_EVERY; }))
    return true;
  said_[next_said_++ % std::size(said_)] = {key, now};
  return false;
}

bool SenderCheck::admit(const sockaddr_in& from, const sockaddr_in& to, const char* output_name,
                        Failure* notice) {
  SocketView view;
  Lookup found = kernel_.find(to, from, &view);
  // ferry's guard holds a port it never sends from.
  if (found == Lookup::found && view.capacity == FERRY_GUARD)
    found = Lookup::absent;
  if (found == Lookup::unavailable) {
    kind_ = Kind::unknown;
    return true;
  }
  from_ = from;
  to_ = to;
  const Clock::time_point now = Clock::now();
  if (found == Lookup::absent) {
    // No one answers for it: taken only where anyone may put the file, and
    // its address held at once, so no one sends the rest in its name.
    if (may_put_here(ANYONE, output_name, &no_replace_) && hold_address()) {
      kind_ = Kind::untraced;
      return true;
    }
    char shown_address[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &from.sin_addr, shown_address, sizeof shown_address);
    if (!said_lately(address_key(from), now))
      *notice = Failure::said(
          "ignored a transfer from %s:%u: its socket closed before its name was read, so no user "
          "answers for it and only a folder open to all takes it; keep the socket open until "
          "wharf reads the name",
          shown_address, static_cast<unsigned>(ntohs(from.sin_port)));
    return false;
  }
  if (!may_put_here(view.uid, output_name, &no_replace_)) {
    if (!said_lately(view.uid, now))
      *notice = Failure::said("ignored a transfer from user %s, who may not put that file in "
                              "this folder",
                              known(view.uid).user.name);
    return false;
  }
  kind_ = is_ferry_mark(view.capacity) ? Kind::ferry : Kind::other;
  mode_ = kind_ == Kind::ferry ? ferry_mode(view.capacity) : 0666;
  cookie_ = view.cookie;
  held_.reset();
  return true;
}

bool SenderCheck::hold_address() {
  // Held on every address where it can be, so that no one sends from that
  // port by choosing the source address (IP_PKTINFO).
  Fd held(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 17));
  if (!held)
    return false;
  sockaddr_in any = from_;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  const auto bind_to = [&](const sockaddr_in& a) {
    return ::bind(held.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  };
  if (!bind_to(any) && (errno != EADDRINUSE || !bind_to(from_)))
    return false;
  held_ = std::move(held);
  return true;
}

bool SenderCheck::still_the_sender() {
  if (kind_ == Kind::unknown || held_)
    return true;
  const Clock::time_point now = Clock::now();
  if (now < next_look_)
    return true;
  next_look_ = now + WATCH_EVERY;
  SocketView view;
  switch (kernel_.find(to_, from_, &view)) {
  case Lookup::unavailable:
    return true;
  case Lookup::found:
    if (view.cookie == cookie_)
      return true;
    gone_ = false;
    return false;
  case Lookup::absent:
    break;
  }
  // ferry keeps its socket until the copy is in place; another sender's
  // address is held from here on, and whatever it sent before counts.
  gone_ = true;
  return kind_ != Kind::ferry && hold_address();
}

bool SenderCheck::same_sender() {
  next_look_ = {};
  return still_the_sender();
}

void SenderCheck::await_sender_gone(std::chrono::milliseconds limit, Progress* progress) {
  SocketView view;
  if (kind_ == Kind::unknown || held_ || kernel_.find(to_, from_, &view) != Lookup::found ||
      view.peer.sin_port != to_.sin_port)
    return;
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < start + limit) {
    if (kernel_.find(to_, from_, &view) != Lookup::found || view.cookie != cookie_)
      return;
    if (progress != nullptr)
      progress->waiting("waiting for the sender to go", start);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}
