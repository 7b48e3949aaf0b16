// Full blocks in batches and one by one, into receivers with and without
// coalesced receives: every way, the same 503-byte datagrams in order.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <thread>
#include <string>

#include "block_sender.hpp"
#include "fd.hpp"
#include "inbox.hpp"
#include "pacing.hpp"
#include "receiver_queue.hpp"
#include "support/harness.hpp"

namespace {

struct Pair {
  Fd receiver{::socket(AF_INET, SOCK_DGRAM, 0)};
  Fd sender{::socket(AF_INET, SOCK_DGRAM, 0)};
  Pair() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(receiver.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(receiver.get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0 ||
        ::connect(sender.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      throw std::runtime_error("cannot connect a pair of sockets on loopback");
  }
};

// Everything that arrives, split into datagrams as the inbox reports them.
std::vector<std::string> drain(Inbox& inbox, std::size_t bytes) {
  std::vector<std::string> datagrams;
  std::string buffer(BATCH_BLOCKS * BLOCK_SIZE, '\0');
  for (std::size_t got = 0; got < bytes;) {
    Received a{};
    if (!inbox.receive(buffer.data(), buffer.size(), &a))
      break;
    for (std::size_t off = 0; off < a.length; off += a.segment)
      datagrams.push_back(buffer.substr(off, std::min(a.segment, a.length - off)));
    got += a.length;
  }
  return datagrams;
}

void expect_blocks(const std::vector<std::string>& datagrams, const std::string& data) {
  ASSERT_EQ(datagrams.size(), data.size() / BLOCK_SIZE);
  for (std::size_t i = 0; i < datagrams.size(); ++i)
    EXPECT_EQ(datagrams[i], data.substr(i * BLOCK_SIZE, BLOCK_SIZE)) << i;
}

// The data in a file of its own, read from the start.
Fd file_of(const std::string& data) {
  Fd file(::memfd_create("blocks", MFD_CLOEXEC));
  EXPECT_EQ(::write(file.get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
  ::lseek(file.get(), 0, SEEK_SET);
  return file;
}

} // namespace

TEST(Batching, EveryWayOfSendingGivesTheSameDatagrams) {
  const std::string data = random_bytes(40 * BLOCK_SIZE);
  for (const Path path : {Path::splice, Path::copy, Path::single}) {
    for (const bool gro : {true, false}) {
      Pair pair;
      if (gro)
        tune_for_batches(pair.receiver.get());
      Inbox inbox(pair.receiver.get());
      ASSERT_FALSE(inbox.watch());
      const Fd file = file_of(data);
      BlockSender out(pair.sender.get(), file.get(), path);
      ASSERT_EQ(out.send_blocks(30), Sent::ok);
      ASSERT_EQ(out.send_blocks(10), Sent::ok);
      EXPECT_EQ(out.path(), path);
      expect_blocks(drain(inbox, data.size()), data);
    }
  }
}

TEST(Batching, AFileThatEndsEarlyIsNeverSentAsWhole) {
  // Three blocks and a bit, asked for as more: every way, and the final.
  const std::string data = random_bytes(3 * BLOCK_SIZE + 10);
  for (const Path path : {Path::splice, Path::copy, Path::single}) {
    Pair pair;
    const Fd file = file_of(data);
    BlockSender out(pair.sender.get(), file.get(), path);
    EXPECT_EQ(out.send_blocks(4), Sent::shrank) << static_cast<int>(path);
    EXPECT_EQ(out.send_blocks(3), Sent::ok) << static_cast<int>(path);
    EXPECT_EQ(out.send_final(11), Sent::shrank) << static_cast<int>(path);
  }
}

TEST(Batching, AWayTheKernelRefusesIsLeftForTheNextOnceAndForGood) {
  // A socket without UDP checksums cannot segment: splicing is refused
  // with the first batch already in the pipe, copying is refused with it
  // in the buffer, and single datagrams carry it. Nothing is lost or sent
  // twice on the way.
  const std::string data = random_bytes(2 * BATCH_BLOCKS * BLOCK_SIZE + 7 * BLOCK_SIZE);
  Pair pair;
  tune_for_batches(pair.receiver.get()); // room for every single datagram, unpaced
  Inbox inbox(pair.receiver.get());
  ASSERT_FALSE(inbox.watch());
  const int on = 1;
  ASSERT_EQ(::setsockopt(pair.sender.get(), SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0);
  const Fd file = file_of(data);
  BlockSender out(pair.sender.get(), file.get());
  EXPECT_EQ(out.send_blocks(BATCH_BLOCKS), Sent::ok);
  EXPECT_EQ(out.path(), Path::single);
  EXPECT_EQ(out.send_blocks(BATCH_BLOCKS), Sent::ok);
  EXPECT_EQ(out.send_blocks(7), Sent::ok);
  expect_blocks(drain(inbox, data.size()), data);
}

TEST(Batching, CoalescedReceivesReportTheSegmentSize) {
  Pair pair;
  tune_for_batches(pair.receiver.get());
  Inbox inbox(pair.receiver.get());
  ASSERT_FALSE(inbox.watch());
  const std::string data = random_bytes(BATCH_BLOCKS * BLOCK_SIZE);
  const Fd file = file_of(data);
  BlockSender out(pair.sender.get(), file.get());
  ASSERT_EQ(out.send_blocks(BATCH_BLOCKS), Sent::ok);
  std::string buffer(BATCH_BLOCKS * BLOCK_SIZE, '\0');
  Received a{};
  ASSERT_TRUE(inbox.receive(buffer.data(), buffer.size(), &a));
  if (out.path() == Path::single)
    GTEST_SKIP() << "no segmentation offload on this kernel";
  EXPECT_EQ(a.length, data.size());
  EXPECT_EQ(a.segment, BLOCK_SIZE);
  EXPECT_FALSE(a.truncated);
}

TEST(Inbox, DropsBeforeTheSenderIsChosenAreNotItsDrops) {
  // Another sender overflows the queue behind the name: its drops happened
  // before the transfer, and its queued datagrams are not the transfer's.
  Pair pair;
  const int small = 4096;
  ASSERT_EQ(::setsockopt(pair.receiver.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  Inbox inbox(pair.receiver.get());
  ASSERT_FALSE(inbox.watch());
  const std::string name(20, 'n'), block(BLOCK_SIZE, 'o');
  ASSERT_TRUE(send_datagram(pair.sender.get(), name.data(), name.size()));
  Fd other(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in to{};
  socklen_t length = sizeof to;
  ::getsockname(pair.receiver.get(), reinterpret_cast<sockaddr*>(&to), &length);
  for (int i = 0; i < 100; ++i)
    ::sendto(other.get(), block.data(), block.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  std::string buffer(BATCH_BLOCKS * BLOCK_SIZE, '\0');
  Received got{};
  ASSERT_TRUE(inbox.receive(buffer.data(), buffer.size(), &got));
  ASSERT_EQ(got.length, name.size());
  ASSERT_FALSE(inbox.listen_only_to(got.from));
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    send_datagram(pair.sender.get(), name.data(), name.size());
  });
  const bool received = inbox.receive(buffer.data(), buffer.size(), &got);
  later.join();
  EXPECT_TRUE(received) << "dropped " << inbox.dropped();
  EXPECT_EQ(got.length, name.size());
}

TEST(ReceiverQueue, FindsTheReceivingSocketAndSeesItFillAndGo) {
  auto pair = std::make_unique<Pair>();
  sockaddr_in from{}, to{};
  socklen_t length = sizeof from;
  ::getsockname(pair->sender.get(), reinterpret_cast<sockaddr*>(&from), &length);
  length = sizeof to;
  ::getpeername(pair->sender.get(), reinterpret_cast<sockaddr*>(&to), &length);
  ReceiverQueue queue(from, to);
  QueueLevel empty{}, filled{}, gone{};
  ASSERT_EQ(queue.look(&empty), Lookup::found);
  EXPECT_EQ(empty.used, 0U);
  EXPECT_GT(empty.capacity, 0U);
  const std::string block(BLOCK_SIZE, 'b');
  for (int i = 0; i < 10; ++i)
    ASSERT_TRUE(send_datagram(pair->sender.get(), block.data(), block.size()));
  ASSERT_EQ(queue.look(&filled), Lookup::found);
  EXPECT_GE(filled.used, 10 * BLOCK_SIZE);
  EXPECT_LE(filled.used, 10 * CHARGE_PER_DATAGRAM);
  pair->receiver.reset();
  EXPECT_EQ(queue.look(&gone), Lookup::absent);
}

TEST(Batching, AKernelThatTakes64SegmentsASendGetsEveryBlockOnce) {
  // What such a kernel does with a send: refuses more than 64 segments.
  std::vector<std::pair<std::size_t, std::size_t>> sends;
  const auto older_kernel = [&](std::size_t first, std::size_t n) {
    if (n > OLDER_KERNEL_SEGMENTS) {
      errno = EINVAL;
      return false;
    }
    sends.emplace_back(first, n);
    return true;
  };
  std::size_t segments = BATCH_BLOCKS, done = 0;
  ASSERT_TRUE(send_in_pieces(100, &done, &segments, older_kernel));
  EXPECT_EQ(done, 100U);
  EXPECT_EQ(segments, OLDER_KERNEL_SEGMENTS);
  const std::vector<std::pair<std::size_t, std::size_t>> once{{0, 64}, {64, 36}};
  EXPECT_EQ(sends, once);
  // A refusal of 64 is the kernel's last word: the next way takes the rest.
  done = 0;
  const auto refuses_all = [](std::size_t, std::size_t) {
    errno = EINVAL;
    return false;
  };
  EXPECT_FALSE(send_in_pieces(100, &done, &segments, refuses_all));
  EXPECT_EQ(done, 0U);
}

TEST(Batching, ABatchOverTheKernelsLimitIsLearnedNotLost) {
  // 129 blocks are more segments than any kernel takes in one send: the
  // refusal is learned, the batch goes in smaller sends, and later batches
  // are spliced only at a size the kernel has carried.
  const std::string data = random_bytes(129 * BLOCK_SIZE + 64 * BLOCK_SIZE + 5 * BLOCK_SIZE);
  Pair pair;
  tune_for_batches(pair.receiver.get());
  Inbox inbox(pair.receiver.get());
  ASSERT_FALSE(inbox.watch());
  const Fd file = file_of(data);
  BlockSender out(pair.sender.get(), file.get());
  ASSERT_EQ(out.send_blocks(129), Sent::ok);
  EXPECT_LE(out.batch_blocks(), OLDER_KERNEL_SEGMENTS);
  ASSERT_EQ(out.send_blocks(64), Sent::ok);
  ASSERT_EQ(out.send_blocks(5), Sent::ok);
  EXPECT_EQ(out.path(), Path::splice);
  expect_blocks(drain(inbox, data.size()), data);
}
