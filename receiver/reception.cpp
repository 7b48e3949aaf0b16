#include "reception.hpp"

#include <cerrno>
#include <cstring>

Failure write_failed(const Intake& intake) {
  return Failure::said("cannot write the copy of %s: %s", intake.sent_name(), std::strerror(errno));
}

Failure sender_lost(const SenderCheck& senders) {
  if (senders.gone())
    return Failure::said("the socket that sent the name is gone");
  return Failure::said("the socket that sent the name is gone, and another holds its address");
}

Failure receive_failed(const Inbox& inbox, const Intake& intake, const SenderCheck& senders) {
  if (errno == ESRCH)
    return sender_lost(senders);
  if (errno == ENOBUFS)
    return Failure::said("the kernel dropped %u datagrams: the sender outran the queue",
                         static_cast<unsigned>(inbox.dropped()));
  if (errno != EAGAIN && errno != EWOULDBLOCK)
    return Failure::call(inbox.failed_call());
  if (intake.stage() == Stage::size)
    return Failure::said("the sender went silent after the name; the size never came");
  return Failure::said("the sender went silent for %lld s: %llu of %llu bytes came",
                       static_cast<long long>(silence_limit().count()),
                       static_cast<unsigned long long>(intake.received()),
                       static_cast<unsigned long long>(intake.size()));
}
