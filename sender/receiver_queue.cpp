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
  level->wharf = view.tos == WHARF_MARK;
  level->owner = view.uid;
  return Lookup::found;
}
