// The sender's pacing on the receiver's queue.
#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>

#include "handshake.hpp"
#include "pacing.hpp"

TEST(QueueRoom, KeepsAnEighthSpareAndCountsAtTheChargeGiven) {
  EXPECT_EQ(datagrams_that_fit({0, 8192 * 4}), 14U);
  EXPECT_EQ(datagrams_that_fit({2048 * 10, 8192 * 4}), 4U);
  EXPECT_EQ(datagrams_that_fit({2048 * 10, 8192 * 4}, 512), 16U);
  EXPECT_EQ(datagrams_that_fit({8192 * 4 - 4096, 8192 * 4}), 0U);
  EXPECT_EQ(datagrams_that_fit({8192 * 5, 8192 * 4}), 0U);
}

TEST(QueueRoom, AnEmptyQueueTakesOneDatagramHoweverSmall) {
  EXPECT_EQ(datagrams_that_fit({0, 2304}), 1U);
  EXPECT_EQ(datagrams_that_fit({1, 2304}), 0U);
}

TEST(QueueRoom, DefaultBuffersHoldNoMoreThanTheKernelAccepts) {
  // 212992 is the usual default; each queued datagram costs up to ~1335.
  const std::size_t room = datagrams_that_fit({0, 212992});
  EXPECT_GT(room, 32U);
  EXPECT_LE(room * 1335, 212992U);
}

namespace {
struct ScriptedGauge : QueueGauge {
  ScriptedGauge(std::vector<Lookup> a, std::vector<QueueLevel> l, bool taken = false)
      : answers(std::move(a)), levels(std::move(l)), port_held(taken) {}
  std::vector<Lookup> answers;
  std::vector<QueueLevel> levels;
  bool port_held;
  std::size_t asked = 0;
  bool port_taken() override { return port_held; }
  Lookup look(QueueLevel* level) override {
    const std::size_t i = asked++;
    *level = levels[std::min(i, levels.size() - 1)];
    return answers[std::min(i, answers.size() - 1)];
  }
};
} // namespace

TEST(Pacer, WaitsWhileFullThenHandsOutTheRoomAndAsksBeforeEveryBatch) {
  QueueLevel other{0, 32768};
  other.replaced = true;
  ScriptedGauge gauge({Lookup::found},
                      {{30000, 32768}, {30000, 32768}, {0, 32768}, {2048 * 7, 32768}, other});
  Pacer pacer(gauge);
  EXPECT_EQ(pacer.room(), 14U);
  EXPECT_EQ(gauge.asked, 3U);
  pacer.sent(7);
  EXPECT_EQ(pacer.room(), 7U);
  EXPECT_EQ(gauge.asked, 4U);
  // Another socket on the port gets nothing more.
  pacer.sent(7);
  EXPECT_EQ(pacer.room(), 0U);
  EXPECT_TRUE(pacer.replaced());
}

TEST(Pacer, PacesByTheClockWhereTheKernelCannotBeAsked) {
  ScriptedGauge gauge({Lookup::unavailable}, {{0, 0}});
  Pacer pacer(gauge);
  const Clock::time_point start = Clock::now();
  for (int burst = 0; burst < 10; ++burst) {
    EXPECT_EQ(pacer.room(), BLIND_BURST);
    pacer.sent(BLIND_BURST);
  }
  EXPECT_GE(Clock::now() - start, 9 * BLIND_PERIOD);
  EXPECT_EQ(gauge.asked, 1U);
}

TEST(Pacer, LearnsWharfsChargeFromTheQueueAndNeverGoesBelowWhatItSaw) {
  constexpr std::uint32_t queue = 425984; // an ordinary user's, on default limits
  struct Wharf : QueueGauge {
    std::uint32_t used = 0;
    Lookup look(QueueLevel* level) override {
      *level = {used, queue, used, true};
      return Lookup::found;
    }
  } wharf;
  // A queue that never drains: each wait for room ends as a stall, soon.
  Pacer pacer(wharf, nullptr, std::chrono::milliseconds(50));
  EXPECT_EQ(pacer.charge(), CHARGE_PER_DATAGRAM);
  // Sends all the room it has, and the queue's charge rises by `each` a
  // datagram before the next look.
  const auto send_all = [&](std::uint32_t each) {
    const std::size_t n = pacer.room();
    pacer.sent(n);
    wharf.used += static_cast<std::uint32_t>(n) * each;
  };
  send_all(516);
  pacer.room();
  EXPECT_EQ(pacer.charge(), 516U * CHARGE_MARGIN_PERCENT / 100);
  // The kernel gave back some of what was read meanwhile: the rise says
  // too little and is not taken.
  send_all(300);
  pacer.room();
  EXPECT_EQ(pacer.charge(), 516U * CHARGE_MARGIN_PERCENT / 100);
  send_all(530);
  pacer.room();
  EXPECT_EQ(pacer.charge(), 530U * CHARGE_MARGIN_PERCENT / 100);

  // A plain receiver, which is not connected to this sender, is paced at
  // the starting charge whatever its queue shows.
  ScriptedGauge plain({Lookup::found}, {{0, queue}, {128 * 516, queue}});
  Pacer paced(plain);
  paced.sent(paced.room());
  paced.room();
  EXPECT_EQ(paced.charge(), CHARGE_PER_DATAGRAM);
}

TEST(Pacer, LetsTheSendReportAReceiverThatHasGone) {
  ScriptedGauge gauge({Lookup::absent}, {{0, 0}});
  EXPECT_EQ(Pacer(gauge).room(), 1U);
}

TEST(StallWatch, OnlyWaitingBytesThatStopFallingMakeAStall) {
  using std::chrono::seconds;
  const Clock::time_point t0{};
  StallWatch watch(t0);
  EXPECT_FALSE(watch.stalled(30000, t0));
  // A slow reader: the queue's charge may stand still for long, but what
  // waits keeps falling, however little and however seldom.
  EXPECT_FALSE(watch.stalled(29497, t0 + seconds(9)));
  EXPECT_FALSE(watch.stalled(28994, t0 + seconds(18)));
  // More waiting (the sender added some) is no progress; nor is the same.
  EXPECT_FALSE(watch.stalled(31000, t0 + seconds(25)));
  EXPECT_FALSE(watch.stalled(28994, t0 + seconds(27)));
  EXPECT_TRUE(watch.stalled(28994, t0 + seconds(28)));
}

// The receiver's steps as the kernel shows them: {used, capacity, waiting,
// hears_us, ready}. Each row: what the gauge says look by look, and how the
// wait ends after how many looks.
TEST(Handshake, WaitsForEachStepAsTheKernelShowsIt) {
  using std::chrono::milliseconds;
  const QueueLevel queued{1000, 32768, 1000, false, false}, read{0, 32768, 0, false, false},
      wharf{0, 32768, 0, true, false}, prepared{0, 32768, 0, true, true},
      wharf_queued{1000, 32768, 1000, true, true};
  // wharf as it puts the copy in place: connected, ready, wearing its mark,
  // which alternates while it syncs; the same port under another socket;
  // wharf unconnected with nothing left to read, with and without drops.
  const QueueLevel syncing{0, 32768, 0, true, true, false, true, WHARF_MARK},
      beat{0, 32768, 0, true, true, false, true, WHARF_BEAT},
      in_place{0, 32768, 0, true, true, true, true, WHARF_MARK},
      other{0, 32768, 0, false, false, false, false, 0, 4242, true},
      declined{0, 32768, 0, false, false, false, true, WHARF_MARK},
      overflowed{0, 32768, 0, false, false, false, true, WHARF_MARK, 0, false, 3};
  // A final sync that takes several times the limit, beating all along.
  std::vector<QueueLevel> long_sync;
  for (int look = 0; look < 120; ++look)
    long_sync.push_back(look % 2 == 0 ? syncing : beat);
  long_sync.push_back(in_place);
  const struct {
    const char* what;
    Step step;
    std::vector<Lookup> answers;
    std::vector<QueueLevel> levels;
    bool port_taken;
    WaitResult result;
    std::size_t looks;
  // clang-format off
  } cases[] = {
      {"wharf connects to us", Step::name_taken, {Lookup::found}, {queued, wharf}, false,
       WaitResult::taken, 2},
      {"a plain receiver reads the name", Step::name_taken, {Lookup::found}, {queued, read}, false,
       WaitResult::taken, 2},
      {"another sender's transfer", Step::name_taken, {Lookup::absent}, {read}, true,
       WaitResult::busy, 1},
      {"nobody left", Step::name_taken, {Lookup::absent}, {read}, false, WaitResult::gone, 1},
      {"wharf prepares the copy", Step::copy_prepared, {Lookup::found}, {wharf, wharf, prepared},
       false, WaitResult::taken, 3},
      {"gone while preparing", Step::copy_prepared, {Lookup::found, Lookup::absent}, {wharf}, true,
       WaitResult::gone, 2},
      {"a plain receiver reads the size", Step::copy_prepared, {Lookup::found}, {queued, read},
       false, WaitResult::taken, 2},
      {"every block read", Step::blocks_read, {Lookup::found}, {wharf_queued, prepared}, false,
       WaitResult::taken, 2},
      {"blocks left unread", Step::blocks_read, {Lookup::found}, {wharf_queued}, false,
       WaitResult::stalled, 0},
      {"never prepared", Step::copy_prepared, {Lookup::found}, {wharf}, false, WaitResult::stalled,
       0},
      {"no kernel to ask", Step::blocks_read, {Lookup::unavailable}, {read}, false,
       WaitResult::unknown, 1},
      {"wharf syncs, then has the copy in place", Step::in_place, {Lookup::found},
       {syncing, beat, syncing, in_place}, false, WaitResult::taken, 4},
      {"a sync longer than the limit, beating", Step::in_place, {Lookup::found}, long_sync, false,
       WaitResult::taken, 121},
      {"a mark that never beats", Step::in_place, {Lookup::found}, {syncing}, false,
       WaitResult::stalled, 0},
      {"another socket on the port", Step::copy_prepared, {Lookup::found}, {wharf, other}, false,
       WaitResult::replaced, 2},
      {"wharf read the name and declined it", Step::name_taken, {Lookup::found}, {declined}, false,
       WaitResult::ignored, 0},
      {"the name may have been dropped", Step::name_taken, {Lookup::found}, {overflowed}, false,
       WaitResult::flooded, 0},
  // clang-format on
  };
  for (const auto& c : cases) {
    ScriptedGauge gauge(c.answers, c.levels, c.port_taken);
    EXPECT_EQ(await_step(gauge, c.step, milliseconds(50)), c.result) << c.what;
    if (c.looks > 0) {
      EXPECT_EQ(gauge.asked, c.looks) << c.what;
    }
  }
}
