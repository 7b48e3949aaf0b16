#include "sender_check.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "rights.hpp"

namespace {

bool may_put_here(uid_t owner, const char* output_name) {
  if (owner == ::geteuid() || owner == 0)
    return true;
  struct stat dir {};
  if (::stat(".", &dir) != 0)
    return false;
  struct stat target {};
  const bool exists = output_name != nullptr && ::lstat(output_name, &target) == 0;
  return could_put(user_of(owner), dir, exists ? &target : nullptr);
}

} // namespace

bool SenderCheck::admit(const sockaddr_in& from, const sockaddr_in& to, const char* output_name) {
  SocketView view;
  switch (kernel_.find(to, from, &view)) {
  case Lookup::unavailable:
    known_ = false;
    return true;
  case Lookup::absent:
    // Gone already, or not a socket at all: no one to answer for it.
    return false;
  case Lookup::found:
    break;
  }
  if (!may_put_here(view.uid, output_name))
    return false;
  from_ = from;
  to_ = to;
  cookie_ = view.cookie;
  known_ = true;
  return true;
}

bool SenderCheck::same_sender() {
  SocketView view;
  return !known_ || (kernel_.find(to_, from_, &view) == Lookup::found && view.cookie == cookie_);
}

void SenderCheck::await_sender_gone(std::chrono::milliseconds limit) {
  SocketView view;
  if (!known_ || kernel_.find(to_, from_, &view) != Lookup::found ||
      view.peer.sin_port != to_.sin_port)
    return;
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    if (kernel_.find(to_, from_, &view) != Lookup::found || view.cookie != cookie_)
      return;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}
