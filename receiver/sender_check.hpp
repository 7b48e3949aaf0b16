// Who may hand wharf a copy, and whether one socket sent all of it. Any
// program on this machine can send to the port and the format names no
// one, but the kernel names the owner of every socket. A name is taken
// only from a socket of wharf's own user, of root, or of a user who could
// have put the file into wharf's folder by their own rights; a name whose
// socket had already closed when it was read cannot be traced to anyone,
// and is taken only where anyone could have put the file. Where the kernel
// cannot be asked, every sender is taken.
//
// ferry's socket (it wears ferry's mark) sends from an address no one else
// can use, and must be there until the copy is in place. Another sender
// may close its socket once its last datagram is out: its copy is kept if
// no other socket was seen at its address meanwhile, and once that address
// is seen free, wharf holds it, so no one can send from it any more.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "failure.hpp"
#include "fd.hpp"
#include "inbox.hpp"
#include "progress.hpp"
#include "rights.hpp"
#include "sock_diag.hpp"

// How often the sender's socket is looked at while its transfer runs.
inline constexpr std::chrono::milliseconds WATCH_EVERY{1};

class SenderCheck final : public SenderWatch {
public:
  using Clock = std::chrono::steady_clock;
  // Whether the socket that sent from `from` to `to` may have its copy put
  // here under `output_name` (nullptr: the name is unusable, and only the
  // folder is judged). Notes that socket, when it may. When it may not,
  // `*notice` says why, unless that was said of this sender within the
  // last second.
  bool admit(const sockaddr_in& from, const sockaddr_in& to, const char* output_name,
             Failure* notice);
  // While the transfer runs, at most once each WATCH_EVERY: false when
  // ferry's socket has gone, or another socket holds the sender's address
  // (gone() tells which).
  bool still_the_sender() override;
  bool gone() const { return gone_; }
  // The permission bits for the copy, before the umask: the source's,
  // where ferry says them, else those of any new file.
  mode_t copy_mode() const { return mode_; }
  // Whether the copy must not replace a file that appears under its name
  // meanwhile: the sender's right to put it there rested on its absence.
  bool no_replace() const { return no_replace_; }
  // At the end: the same, looked at now.
  bool same_sender();
  // Once the copy is in place: waits, at most `limit`, until a sender
  // that watches this socket (one connected to it, as ferry is) has gone,
  // so that it can see the copy in place before this socket goes.
  void await_sender_gone(std::chrono::milliseconds limit, Progress* progress = nullptr);

private:
  enum class Kind { unknown, ferry, other, untraced };
  // A user as the rights are judged, and whether they could reach this
  // folder when last looked at.
  struct Known {
    User user;
    bool reaches = false;
    Clock::time_point reach_until{};
  };
  Known& known(uid_t uid);
  bool may_put_here(uid_t uid, const char* output_name, bool* absent);
  bool said_lately(std::uint64_t key, Clock::time_point now);
  bool hold_address();

  SockDiag kernel_;
  Kind kind_ = Kind::unknown;
  sockaddr_in from_{}, to_{};
  std::uint64_t cookie_ = 0;
  Fd held_; // the sender's port, once its socket has gone
  bool gone_ = false;
  Clock::time_point next_look_{};
  mode_t mode_ = 0666;
  bool no_replace_ = false;
  Fd here_; // the folder the copy is made in
  // A flood of names costs a look in the user database once per user.
  Known known_[4];
  std::size_t known_count_ = 0;
  struct Said {
    std::uint64_t key = 0;
    Clock::time_point at{};
  };
  Said said_[16];
  std::size_t next_said_ = 0;
};
