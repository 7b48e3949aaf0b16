// wharf's reception of one transfer: the datagrams as they come, taken a
// stage at a time, each arrival received straight into the copy's write
// buffer; and what a receive that brought nothing means for the transfer.
#pragma once

#include "failure.hpp"
#include "inbox.hpp"
#include "intake.hpp"
#include "progress.hpp"
#include "sender_check.hpp"
#include "transfer.hpp"
#include "write_buffer.hpp"

// Big enough for a coalesced batch of full blocks from ferry.
inline constexpr std::size_t RECEIVE_CAPACITY = BATCH_BLOCKS * BLOCK_SIZE;

// Why the socket that sent the name can no longer be the sender.
Failure sender_lost(const SenderCheck& senders);
// What a receive that brought nothing means for this transfer.
Failure receive_failed(const Inbox& inbox, const Intake& intake, const SenderCheck& senders);
// A write of the copy that failed.
Failure write_failed(const Intake& intake);

// The transfer's datagrams as they come, taken a stage at a time. Each
// arrival is received straight into the copy's write buffer, and what
// belongs in the copy is kept where it lies.
class Reception final : public SenderWatch {
public:
  // `notice` shows what a user should know of a sender ignored.
  Reception(Inbox& inbox, WriteBuffer& buffer, SenderCheck& senders, Progress& progress,
            void (*notice)(const Failure&))
      : inbox_(inbox), buffer_(buffer), senders_(senders), progress_(progress), notice_(notice) {}
  const Intake& intake() const { return intake_; }

  // Waits without end for a name from a sender who may put its copy here,
  // and from then on hears that sender alone.
  Failure take_name() {
    for (;;) {
      Received received{};
      Failure failed = receive(&received);
      if (failed)
        return failed;
      Intake tried;
      Arrival arrival(received.length, received.segment);
      arrival.feed(tried, data_, Stage::size);
      const bool named = tried.stage() == Stage::size;
      Failure notice;
      if (!senders_.admit(received.from, received.to, named ? tried.output_name() : nullptr,
                          &notice)) {
        if (notice)
          notice_(notice);
        continue;
      }
      failed = truncated(received);
      if (failed)
        return failed;
      if (!named)
        return Failure::said("%s", tried.reason());
      intake_ = tried;
      arrival_ = arrival;
      return inbox_.listen_only_to(received.from, this);
    }
  }

  // Takes the admitted sender's datagrams until the intake has reached
  // `until`.
  Failure take_until(Stage until) {
    while (intake_.stage() < until) {
      if (arrival_.used_up()) {
        Received received{};
        Failure failed = receive(&received);
        if (!failed)
          failed = truncated(received);
        if (failed)
          return failed;
        arrival_ = Arrival(received.length, received.segment);
      }
      const Arrival::Content content = arrival_.feed(intake_, data_, until);
      if (intake_.stage() == Stage::refused)
        return Failure::said("%s", intake_.reason());
      if (content.length > 0) {
        buffer_.keep(content.offset, content.length);
        progress_.update(intake_.received());
      }
    }
    return {};
  }

  // Asked at each arrival and each tick of silence: a sender that has gone
  // quiet shows as stalled.
  bool still_the_sender() override {
    progress_.update(intake_.received());
    return senders_.still_the_sender();
  }

private:
  // The next arrival, straight into the write buffer.
  Failure receive(Received* received) {
    data_ = buffer_.space(RECEIVE_CAPACITY);
    if (data_ == nullptr)
      return write_failed(intake_);
    if (!inbox_.receive(data_, RECEIVE_CAPACITY, received))
      return receive_failed(inbox_, intake_, senders_);
    return {};
  }

  static Failure truncated(const Received& received) {
    if (!received.truncated)
      return {};
    return Failure::said("a datagram over %zu bytes arrived: not a ferry transfer",
                         RECEIVE_CAPACITY);
  }

  Inbox& inbox_;
  WriteBuffer& buffer_;
  SenderCheck& senders_;
  Progress& progress_;
  void (*notice_)(const Failure&);
  Intake intake_;
  Arrival arrival_;
  char* data_ = nullptr;
};
