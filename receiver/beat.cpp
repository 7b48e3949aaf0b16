#include "beat.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cstddef>

#include "quiet_thread.hpp"
#include "transfer.hpp"

namespace {

// ferry gives up after STALL_LIMIT without a change; a change every quarter
// second leaves it forty.
constexpr long STEP_NS = 10'000'000;
constexpr int STEPS_PER_BEAT = 25;
constexpr std::size_t BEAT_STACK = 64 << 10;

void wear(int sock, int mark) {
  // A mark that cannot be set shows as no beat, and ferry says so in time.
  (void)::setsockopt(sock, IPPROTO_IP, IP_TOS, &mark, sizeof mark);
}

} // namespace

void* Beat::run(void* self) {
  auto* beat = static_cast<Beat*>(self);
  const auto start = Progress::Clock::now();
  bool alternate = false;
  for (int step = 0; !beat->stop_.load(std::memory_order_acquire); ++step) {
    if (step % STEPS_PER_BEAT == 0) {
      alternate = !alternate;
      wear(beat->sock_, alternate ? WHARF_BEAT : WHARF_MARK);
      if (beat->progress_ != nullptr)
        beat->progress_->syncing(start);
    }
    const timespec pause{0, STEP_NS};
    ::nanosleep(&pause, nullptr);
  }
  wear(beat->sock_, WHARF_MARK);
  return nullptr;
}

Beat::Beat(int sock, Progress* progress) : sock_(sock), progress_(progress) {
  running_ = start_quiet_thread(&thread_, run, this, BEAT_STACK);
}

Beat::~Beat() {
  if (!running_)
    return;
  stop_.store(true, std::memory_order_release);
  ::pthread_join(thread_, nullptr);
}
