// Full blocks in batches and one by one, into receivers with and without
// coalesced receives: every way, the same 503-byte datagrams in order.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>

#include "block_sender.hpp"
#include "fd.hpp"
#include "inbox.hpp"
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
    ::bind(receiver.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(receiver.get(), reinterpret_cast<sockaddr*>(&addr), &length);
    ::connect(sender.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  }
};

// Everything that arrives, split into datagrams as the inbox reports them.
std::vector<std::string> drain(Inbox& inbox, std::size_t bytes) {
  std::vector<std::string> datagrams;
  std::string buffer(BATCH_BLOCKS * BLOCK_SIZE, '\0');
  for (std::size_t got = 0; got < bytes;) {
    Arrival a{};
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

} // namespace

TEST(Batching, SegmentedAndSingleSendsGiveTheSameDatagrams) {
  const std::string data = random_bytes(40 * BLOCK_SIZE);
  for (const bool gso : {true, false}) {
    for (const bool gro : {true, false}) {
      Pair pair;
      if (gro)
        tune_for_batches(pair.receiver.get());
      Inbox inbox(pair.receiver.get());
      BlockSender out(pair.sender.get(), gso);
      ASSERT_TRUE(out.send_blocks(data.data(), 40));
      expect_blocks(drain(inbox, data.size()), data);
    }
  }
}

TEST(Batching, CoalescedReceivesReportTheSegmentSize) {
  Pair pair;
  tune_for_batches(pair.receiver.get());
  Inbox inbox(pair.receiver.get());
  const std::string data = random_bytes(BATCH_BLOCKS * BLOCK_SIZE);
  BlockSender out(pair.sender.get());
  ASSERT_TRUE(out.send_blocks(data.data(), BATCH_BLOCKS));
  std::string buffer(BATCH_BLOCKS * BLOCK_SIZE, '\0');
  Arrival a{};
  ASSERT_TRUE(inbox.receive(buffer.data(), buffer.size(), &a));
  if (!out.uses_gso())
    GTEST_SKIP() << "no segmentation offload on this kernel";
  EXPECT_EQ(a.length, data.size());
  EXPECT_EQ(a.segment, BLOCK_SIZE);
  EXPECT_FALSE(a.truncated);
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
