#include "receiver_queue.hpp"

#include "transfer.hpp"

Lookup ReceiverQueue::look(QueueLevel* level) {
  SocketView view;
  const Lookup found = kernel_.find(from_, to_, &view);
  if (found != Lookup::found)
    return found;
  // Without memory figures nothing can be paced on.
  if (view.capacity == 0)
    return Lookup::unavailable;
  level->used = view.used;
  level->capacity = view.capacity;
  level->waiting = view.waiting;
  // An exact lookup finds only an unconnected socket or one connected to
  // this very sender.
  level->hears_us =
      view.peer.sin_port == from_.sin_port && view.peer.sin_addr.s_addr == from_.sin_addr.s_addr;
  level->ready = (view.shutdown & SHOWS_PREPARED) != 0;
  level->in_place = (view.shutdown & SHOWS_IN_PLACE) == SHOWS_IN_PLACE;
  level->wharf = is_wharf_mark(view.tos);
  level->mark = view.tos;
  level->owner = view.uid;
  if (!seen_) {
    seen_ = true;
    cookie_ = view.cookie;
    drops_first_ = view.drops;
  }
  level->replaced = view.cookie != cookie_;
  level->drops = view.drops - drops_first_;
  return Lookup::found;
}

bool ReceiverQueue::other_sender(std::uint32_t* owner) {
  SocketView self;
  if (kernel_.find(to_, from_, &self) != Lookup::found)
    return false;
  return kernel_.other_socket(0, to_.sin_port, self.cookie, owner);
}
