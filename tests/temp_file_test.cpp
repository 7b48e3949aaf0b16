// The copy under construction: whole or nothing under the output name.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "background_sync.hpp"
#include "support/harness.hpp"
#include "temp_file.hpp"
#include "write_buffer.hpp"

namespace {

// Runs `body` with the working directory set to a fresh folder.
struct InTempDir {
  TempDir dir;
  fs::path before = fs::current_path();
  InTempDir() { fs::current_path(dir.path); }
  ~InTempDir() { fs::current_path(before); }
};

} // namespace

TEST(TempFile, PiecesOfAnySizeArriveInOrderUnnamedOrNamed) {
  for (const bool unnamed : {true, false}) {
    InTempDir here;
    const std::string contents = random_bytes(3 << 20, 5);
    TempFile copy;
    WriteBuffer buffer;
    // The copy takes its source's bits (less the umask), named or not.
    ASSERT_TRUE(copy.create(unnamed, 0640));
    EXPECT_EQ(copy.named(), !unnamed); // the filesystem here has unnamed files
    ASSERT_TRUE(copy.reserve(contents.size()));
    buffer.write_to(copy.fd());
    // Single blocks, whole batches and odd lengths, interleaved.
    const std::size_t sizes[] = {503, 64 * 503, 1, 4096, 20000, 503, 32191, 16096, 7};
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < contents.size(); ++i) {
      const std::size_t n = std::min(sizes[i % std::size(sizes)], contents.size() - offset);
      // As wharf gives them: received into the space, then kept.
      char* into = buffer.space(n);
      ASSERT_NE(into, nullptr);
      std::memcpy(into, contents.data() + offset, n);
      buffer.keep(0, n);
      offset += n;
    }
    ASSERT_TRUE(buffer.finish());
    ASSERT_TRUE(copy.commit("out.bin"));
    EXPECT_TRUE(copy.sync_directory());
    EXPECT_TRUE(read_file(here.dir.path / "out.bin") == contents);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st {};
    ASSERT_EQ(::stat("out.bin", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640 & ~mask) << (unnamed ? "unnamed" : "named");
    EXPECT_EQ(list_dir(here.dir.path), std::vector<std::string>{"out.bin"});
  }
}

TEST(TempFile, AnUncommittedCopyLeavesNothingBehind) {
  for (const bool unnamed : {true, false}) {
    InTempDir here;
    write_file(here.dir.path / "out.bin", "earlier");
    {
      TempFile copy;
      ASSERT_TRUE(copy.create(unnamed));
      ASSERT_EQ(::write(copy.fd(), "partial", 7), 7);
      // An unnamed copy is not in the directory at all while it grows.
      EXPECT_EQ(list_dir(here.dir.path).size(), unnamed ? 1U : 2U);
    }
    EXPECT_EQ(list_dir(here.dir.path), std::vector<std::string>{"out.bin"});
    EXPECT_EQ(read_file(here.dir.path / "out.bin"), "earlier");
  }
  // A named copy also goes when the process exits without unwinding, and
  // on a fatal signal, with or without a core, the hangup of a closed
  // terminal too.
  for (const int ending : {0, SIGTERM, SIGABRT, SIGHUP}) {
    InTempDir here;
    const pid_t child = ::fork();
    if (child == 0) {
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      // Never destroyed: only the exit and signal handlers can remove it.
      alignas(TempFile) static char storage[sizeof(TempFile)];
      auto* copy = new (storage) TempFile;
      if (!copy->create(false) || ::write(copy->fd(), "partial", 7) != 7)
        ::_exit(3);
      if (ending == 0)
        std::exit(0);
      ::raise(ending);
      ::_exit(4);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(ending == 0 ? WIFEXITED(status) && WEXITSTATUS(status) == 0
                          : WIFSIGNALED(status) && WTERMSIG(status) == ending,
              true)
        << ending << ": " << status;
    EXPECT_EQ(list_dir(here.dir.path), std::vector<std::string>{}) << ending;
  }
}

TEST(TempFile, AFailedRenameReportsWhyAndRemovesTheTemporaryFile) {
  InTempDir here;
  fs::create_directory(here.dir.path / "out.bin");
  EXPECT_FALSE(can_replace("out.bin"));
  EXPECT_EQ(errno, EISDIR);
  TempFile copy;
  ASSERT_TRUE(copy.create());
  ASSERT_EQ(::write(copy.fd(), "data", 4), 4);
  EXPECT_FALSE(copy.commit("out.bin"));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(list_dir(here.dir.path), std::vector<std::string>{"out.bin"});
}

// A flush's error is told to that flush alone; the final fsync would not
// see it again, so it must come out of finish().
TEST(TempFile, AFailedBackgroundFlushIsNotLost) {
  BackgroundSync flush;
  ASSERT_TRUE(flush.start(-1));
  EXPECT_FALSE(flush.finish());
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(flush.finish()) << "reported once, then forgotten";
}
