// ferry and wharf together, each in its own folder, as a user runs them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>

#include "support/harness.hpp"

namespace {

struct Copied {
  Finished ferry, wharf;
  std::string copy;
  fs::perms mode = fs::perms::none;
};

Copied copy_file(const std::string& name, const std::string& contents, const std::string& output,
                 void (*meanwhile)(pid_t wharf) = nullptr,
                 fs::perms mode = fs::perms::owner_read | fs::perms::owner_write) {
  TempDir from, to;
  write_file(from.path / name, contents);
  fs::permissions(from.path / name, mode);
  // Both on the small stack some users and services set (ulimit -s 1024).
  const Launch small_stack{.stack_kib = 1024};
  Process wharf = start_wharf(to.path, small_stack);
  Process ferry(ferry_path(), from.path, name + "\n", small_stack);
  if (meanwhile != nullptr)
    meanwhile(wharf.pid());
  Copied c;
  c.ferry = ferry.wait(60);
  c.wharf = wharf.wait(60);
  c.copy = read_file(to.path / output);
  c.mode = fs::status(to.path / output).permissions();
  EXPECT_EQ(list_dir(to.path), std::vector<std::string>{output});
  return c;
}

} // namespace

TEST(Transfer, CopiesFilesIntactAndBothProgramsSaySo) {
  // The copy is no more open than its source, as cp makes it.
  const mode_t umask = ::umask(0);
  ::umask(umask);
  const struct {
    std::size_t size;
    unsigned mode;
  } cases[] = {{0, 0600}, {503, 0644}, {1200, 0755}, {5 << 20, 0640}};
  for (const auto& [size, mode] : cases) {
    const std::string contents = random_bytes(size, static_cast<unsigned>(size) + 3);
    const Copied c =
        copy_file("notes.txt", contents, "note1.txt", nullptr, static_cast<fs::perms>(mode));
    EXPECT_EQ(static_cast<unsigned>(c.mode), mode & ~umask) << size;
    EXPECT_EQ(c.ferry.status, 0) << c.ferry.err;
    EXPECT_EQ(c.wharf.status, 0) << c.wharf.err;
    const std::string last = std::to_string(size % 503);
    EXPECT_EQ(c.ferry.out, "Enter Filename with extension: " + last);
    EXPECT_EQ(c.wharf.out, "9" + last);
    EXPECT_TRUE(c.copy == contents) << size;
  }
}

TEST(Lossless, ReceiverPausedForMoreThanASecondMidTransfer) {
  const std::string contents = random_bytes(20 << 20, 9);
  const Copied c = copy_file("big.bin", contents, "bi1.bin", [](pid_t wharf) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ::kill(wharf, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ::kill(wharf, SIGCONT);
  });
  EXPECT_EQ(c.ferry.status, 0) << c.ferry.err;
  EXPECT_EQ(c.wharf.status, 0) << c.wharf.err;
  EXPECT_TRUE(c.copy == contents);
}

TEST(Lossless, BothCoresBusyWithOtherProcesses) {
  std::vector<pid_t> spinners;
  for (int i = 0; i < 3; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0)
      for (;;)
        std::atomic_signal_fence(std::memory_order_seq_cst); // spin, not optimised away
    spinners.push_back(pid);
  }
  const std::string contents = random_bytes(20 << 20, 11);
  const Copied c = copy_file("big.bin", contents, "bi1.bin");
  for (const pid_t pid : spinners) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  EXPECT_EQ(c.ferry.status, 0) << c.ferry.err;
  EXPECT_EQ(c.wharf.status, 0) << c.wharf.err;
  EXPECT_TRUE(c.copy == contents);
}

TEST(Lossless, IntoAPlainReceiverFastOrSlowerThanTheStallLimit) {
  // Fast on default buffers; or slow past ferry's stall limit, taking 5
  // datagrams every 100 ms: the kernel then gives back the queue's memory
  // only in steps far apart, while the reader keeps working.
  for (const int slow_seconds : {0, WAIT_SECONDS + 1}) {
    TempDir dir;
    const std::string contents = random_bytes(4 << 20, 13);
    write_file(dir.path / "big.bin", contents);
    Listener listener(slow_seconds);
    const Finished f = run(ferry_path(), dir.path, "big.bin", 60, {.env = SHORT_WAITS});
    const std::vector<std::string> got = listener.stop();
    EXPECT_EQ(f.status, 0) << f.err;
    ASSERT_EQ(got.size(), 3 + contents.size() / 503);
    std::string joined;
    for (std::size_t i = 2; i < got.size(); ++i)
      joined += got[i];
    EXPECT_TRUE(joined == contents) << slow_seconds;
  }
}
