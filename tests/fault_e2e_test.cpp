// Every way a transfer can go wrong, for both programs: each ends with
// status 1, one line on stderr that names the program and the fault,
// nothing sent or left behind, and an earlier copy exactly as it was.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>

#include "support/harness.hpp"

namespace {

// Both programs on one CPU, as on a busy machine; undone when it goes.
struct OneBusyCpu {
  cpu_set_t before{};
  OneBusyCpu() {
    ::sched_getaffinity(0, sizeof before, &before);
    cpu_set_t one{};
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
      if (CPU_ISSET(cpu, &before)) {
        CPU_SET(cpu, &one);
        break;
      }
    ::sched_setaffinity(0, sizeof one, &one);
  }
  ~OneBusyCpu() { ::sched_setaffinity(0, sizeof before, &before); }
};

// Waits up to 5 s until wharf's copy, a file with no name yet in the
// receiving folder, holds some of the data.
bool await_copy_written(pid_t pid, const fs::path& folder) {
  const fs::path fds = fs::path("/proc") / std::to_string(pid) / "fd";
  for (int i = 0; i < 5000; ++i) {
    std::error_code ignored;
    for (const auto& fd : fs::directory_iterator(fds, ignored)) {
      const std::string target = fs::read_symlink(fd.path(), ignored).string();
      struct stat st {};
      if (target.rfind(folder.string() + "/", 0) == 0 &&
          ::stat(fd.path().c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

void expect_one_line(const Finished& f, const std::string& program, const std::string& says,
                     const std::string& what) {
  EXPECT_EQ(f.status, 1) << what << ": " << f.err;
  EXPECT_EQ(f.err.rfind(program, 0), 0U) << what << ": " << f.err;
  EXPECT_NE(f.err.find(says), std::string::npos) << what << ": " << f.err;
  EXPECT_EQ(std::count(f.err.begin(), f.err.end(), '\n'), 1) << what << ": " << f.err;
  // What the failure means for the transfer is said once, at most.
  const auto times = [&](const std::string& outcome) {
    std::size_t n = 0;
    for (std::size_t at = f.err.find(outcome); at != std::string::npos;
         at = f.err.find(outcome, at + 1))
      ++n;
    return n;
  };
  EXPECT_LE(times("no copy made") + times("nothing sent"), 1U) << what << ": " << f.err;
}

// A receiving folder holding an earlier copy, open to the user "nobody".
struct Harbour {
  TempDir dir;
  decltype(snapshot({})) before;
  Harbour() {
    write_file(dir.path / "note1.txt", "earlier copy");
    write_file(dir.path / ".bashrc", "earlier shell setup");
    fs::permissions(dir.path, fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
    before = snapshot(dir.path);
  }
  void expect_untouched(const std::string& what) const {
    EXPECT_EQ(snapshot(dir.path), before) << what;
  }
};

} // namespace

TEST(FerryFaults, RefusalsBeforeSendingLeaveTheWireSilent) {
  TempDir dir;
  fs::permissions(dir.path, fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
  write_file(dir.path / "ctl\x01name", "x");
  write_file(dir.path / "secret.txt", "x");
  fs::permissions(dir.path / "secret.txt", fs::perms::none);
  // A link another user planted is not followed, whatever it points to.
  write_file(dir.path / "readable.txt", "x");
  fs::create_symlink("readable.txt", dir.path / "planted.txt");
  const bool planted = ::lchown((dir.path / "planted.txt").c_str(), STRANGER, STRANGER) == 0;
  const struct {
    const char* typed;
    const char* says;
  } cases[] = {
      {"", "no file name"},
      {"   \n", "no file name"},
      {"abcdefghij1234567890", "over 19 bytes"},
      // 11 characters in 20 bytes, shown without splitting the last
      {"ab\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9",
       "the name \"ab\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9...\" is over 19 bytes"},
      {".bashrc", "hidden file"},
      {".a.txt", "hidden file"},
      {"missing.txt", "cannot open missing.txt: No such file"},
      {"secret.txt", "cannot open secret.txt: Permission denied"},
      {"../etc/passwd", "'/'"},
      {"ctl\x01name", "control character"},
      {"planted.txt", "planted.txt is a symbolic link of user 4242, not yours"},
  };
  for (const auto& c : cases) {
    if (std::string(c.typed) == "planted.txt" && !planted)
      continue; // only root can plant a link as another user
    Listener listener;
    const Finished f = run(ferry_path(), dir.path, c.typed, 30, {.as_user = NOBODY});
    expect_one_line(f, "ferry: ", c.says, c.typed);
    EXPECT_TRUE(listener.stop().empty()) << c.typed;
  }
}

TEST(FerryFaults, NoReceiverABusyOneOrOneGoneIsAFailureNotASuccess) {
  TempDir dir, harbour;
  write_file(dir.path / "notes.txt", random_bytes(300));
  expect_one_line(run(ferry_path(), dir.path, "notes.txt\n"), "ferry: ", "start wharf first",
                  "no receiver");
  // With the loopback down, the failed call says its own error.
  const Finished offline = run(ferry_path(), dir.path, "notes.txt\n", 30, {.offline = true});
  if (offline.status != OFFLINE_UNAVAILABLE)
    expect_one_line(offline, "connect: ", "connect: Network is unreachable", "loopback down");

  // A receiver that reads the name and the size, then nothing: ferry must
  // not take blocks in a queue for blocks read.
  {
    write_file(dir.path / "blocks.txt", random_bytes(1200));
    Listener stops_after_the_size(0, 2);
    const std::string says = "has not read for " + std::to_string(WAIT_SECONDS) +
                             (WAIT_SECONDS == 1 ? " second" : " seconds") + "; no copy made";
    expect_one_line(run(ferry_path(), dir.path, "blocks.txt\n", 30, {.env = SHORT_WAITS}),
                    "ferry: ", says.c_str(), "receiver stopped reading");
  }

  // wharf killed mid-transfer and the port taken at once by another
  // socket: ferry sends it at most the batch it had in hand, and says whose
  // socket it is.
  {
    write_file(dir.path / "big.txt", random_bytes(40 << 20));
    Process wharf = start_wharf(harbour.path);
    Process ferry(ferry_path(), dir.path, "big.txt\n");
    ASSERT_TRUE(await_port_connected());
    ::kill(ferry.pid(), SIGSTOP);
    ::kill(wharf.pid(), SIGKILL);
    wharf.wait();
    Listener taker;
    ::kill(ferry.pid(), SIGCONT);
    expect_one_line(ferry.wait(), "ferry: ", "port 8885 is now held by a socket of user ",
                    "port taken over");
    EXPECT_LE(taker.stop().size(), 128U) << "port taken over"; // one batch of ferry's
  }

  // wharf already listening to another sender.
  {
    Process wharf = start_wharf(harbour.path);
    Crafter other;
    other.send(control("other.txt"));
    ASSERT_TRUE(await_port_connected());
    expect_one_line(run(ferry_path(), dir.path, "notes.txt\n"), "ferry: ",
                    "wharf is busy with another transfer", "busy");
    other.send(control("5"));
    other.send("hello");
    EXPECT_EQ(wharf.wait().status, 0);
  }

  // A receiver that goes after reading every full block, as ferry reads
  // the final bytes: the final datagram's port-unreachable answer is all
  // that tells. The read is held through fanotify, which needs root.
  const int watch = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
  const std::unique_ptr<int, void (*)(int*)> closing(new int(watch), [](int* fd) {
    ::close(*fd);
    delete fd;
  });
  if (watch < 0 || ::fanotify_mark(watch, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD,
                                   (dir.path / "notes.txt").c_str()) != 0) {
    std::cout << "[   NOTE   ] no fanotify here: a receiver gone at the last datagram not tried\n";
    return;
  }
  auto listener = std::make_unique<Listener>();
  Process ferry(ferry_path(), dir.path, "notes.txt\n");
  pollfd ready{watch, POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, 10'000), 1);
  fanotify_event_metadata event{};
  ASSERT_EQ(::read(watch, &event, sizeof event), static_cast<ssize_t>(sizeof event));
  listener.reset();
  const fanotify_response allow{event.fd, FAN_ALLOW};
  ASSERT_EQ(::write(watch, &allow, sizeof allow), static_cast<ssize_t>(sizeof allow));
  ::close(event.fd);
  expect_one_line(ferry.wait(), "ferry: ", "wharf stopped before it had the whole file",
                  "gone at the last datagram");
}

TEST(FerryFaults, AFileThatShrinksWhileSentIsReportedAndNoCopyIsMade) {
  TempDir from;
  Harbour to;
  write_file(from.path / "notes.txt", random_bytes(40 << 20));
  Process wharf = start_wharf(to.dir.path);
  ::kill(wharf.pid(), SIGSTOP); // ferry fills wharf's queue, then waits for room
  Process ferry(ferry_path(), from.path, "notes.txt\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  fs::resize_file(from.path / "notes.txt", 1 << 20);
  ::kill(wharf.pid(), SIGCONT);
  expect_one_line(ferry.wait(), "ferry: ", "notes.txt shrank", "ferry");
  // ferry's socket went with it, which wharf sees at once.
  expect_one_line(wharf.wait(), "wharf: ", "the socket that sent the name is gone", "wharf");
  to.expect_untouched("shrinking file");
}

TEST(WharfFaults, HostileOrBrokenSequencesAreRefusedWithinSeconds) {
  const std::string c = random_bytes(1200);
  const struct {
    const char* what;
    std::vector<std::string> datagrams;
    const char* says;
  } cases[] = {
      {"climbing name", {control("../notes.txt"), control("5"), "hello"}, "'/'"},
      {"absolute name", {control("/tmp/notes.txt"), control("5"), "hello"}, "'/'"},
      {"name without NUL", {"abcdefghij1234567890", control("5"), "hello"}, "20 or more"},
      {"dot as name", {control("."), control("5"), "hello"}, "'.'"},
      {"hidden name", {control(".bashrc"), control("5"), "hello"}, "hidden file"},
      {"short name datagram", {"notes.txt", control("5"), "hello"}, "not 20"},
      {"negative size", {control("notes.txt"), control("-5")}, "size"},
      {"letters as size", {control("notes.txt"), control("abc")}, "size"},
      {"empty size", {control("notes.txt"), control("")}, "size"},
      {"huge size", {control("notes.txt"), control("99999999999")}, "size"},
      {"lost full datagram",
       {control("notes.txt"), control("1200"), blocks(c, 0, 1), c.substr(1006)},
       "194 bytes came where 503"},
      {"short full datagram",
       {control("notes.txt"), control("1200"), c.substr(0, 400)},
       "400 bytes"},
      {"oversized datagram",
       {control("notes.txt"), control("70000"), std::string(65000, 'x')},
       "not a ferry transfer; no copy made"},
      {"lost final datagram",
       {control("notes.txt"), control("1200"), blocks(c, 0, 1), blocks(c, 1, 2)},
       "1006 of 1200 bytes came"},
  };
  for (const auto& k : cases) {
    Harbour harbour;
    Process wharf = start_wharf(harbour.dir.path, {.env = SHORT_WAITS});
    const auto start = std::chrono::steady_clock::now();
    Crafter sender;
    for (const std::string& d : k.datagrams)
      sender.send(d);
    expect_one_line(wharf.wait(), "wharf: ", k.says, k.what);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << k.what;
    harbour.expect_untouched(k.what);
  }
}

TEST(WharfFaults, ASecondReceiverCannotTakeThePort) {
  TempDir dir;
  Process first = start_wharf(dir.path);
  expect_one_line(run(wharf_path(), dir.path, ""), "bind: ", "in use", "second wharf");
}

TEST(WharfFaults, AnOutputItCannotWriteEndsBothProgramsBeforeTheDataFlows) {
  // On a busy machine: both programs on one CPU, wharf at the lowest
  // priority, so ferry could hand over a whole 1 MiB before wharf looks.
  // A file with no full block shows whether ferry waits for the copy to
  // be prepared even when nothing but the final datagram is left.
  TempDir from; // open to "nobody", whose wharf may read what is sent
  fs::permissions(from.path, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  write_file(from.path / "notes.txt", random_bytes(1 << 20));
  write_file(from.path / "other.txt", random_bytes(1 << 20));
  write_file(from.path / "tiny.txt", random_bytes(5));
  const OneBusyCpu busy;
  const struct {
    bool unwritable;
    const char* typed;
    const char* what;
  } cases[] = {{true, "notes.txt\n", "unwritable directory"},
               {false, "other.txt\n", "directory in the way"},
               {false, "tiny.txt\n", "directory in the way of a file with no full block"}};
  for (const auto& [unwritable, typed, what] : cases) {
    Harbour harbour;
    if (unwritable && !may_act_as_others())
      fs::permissions(harbour.dir.path, fs::perms::owner_write, fs::perm_options::remove);
    if (!unwritable) {
      // The output names of other.txt and tiny.txt
      fs::create_directory(harbour.dir.path / "othe1.txt");
      fs::create_directory(harbour.dir.path / "tin1.txt");
      harbour.before = snapshot(harbour.dir.path);
    }
    Process wharf = start_wharf(harbour.dir.path, {.as_user = unwritable ? NOBODY : 0});
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(wharf.pid()), 19);
    const auto start = std::chrono::steady_clock::now();
    Process ferry(ferry_path(), from.path, typed);
    expect_one_line(wharf.wait(), "wharf: ",
                    unwritable ? "cannot create a file in this directory: Permission"
                               : "1.txt is a directory",
                    what);
    expect_one_line(ferry.wait(), "ferry: ", "wharf refused the copy; no copy made", what);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << what;
    harbour.expect_untouched(what);
  }
}

TEST(WharfFaults, KilledMidTransferItLeavesTheDirectoryAsItWas) {
  TempDir from;
  Harbour harbour;
  write_file(from.path / "notes.txt", "");
  fs::resize_file(from.path / "notes.txt", 256 << 20);
  Process wharf = start_wharf(harbour.dir.path);
  Process ferry(ferry_path(), from.path, "notes.txt\n");
  // Once data is in the copy, wharf is held still so that it cannot
  // finish, and killed.
  ASSERT_TRUE(await_copy_written(wharf.pid(), harbour.dir.path));
  ::kill(wharf.pid(), SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ::kill(wharf.pid(), SIGKILL);
  EXPECT_EQ(wharf.wait().status, 128 + SIGKILL);
  harbour.expect_untouched("SIGKILL");
  // A killed wharf printed nothing, and ferry says nothing of a message.
  const Finished f = ferry.wait();
  expect_one_line(f, "ferry: ", "wharf stopped before it had the whole file; no copy made",
                  "SIGKILL");
  EXPECT_EQ(f.err.find("message"), std::string::npos) << f.err;
}

TEST(WharfFaults, DatagramsTheKernelDroppedAreNamedAtOnce) {
  // wharf is held still once it has taken the name, or before it has read
  // anything, and the rest sent unpaced by a sender that keeps its socket.
  std::chrono::steady_clock::duration taken{};
  for (const bool name_taken : {true, false}) {
    const char* what = name_taken ? "overrun after the name" : "overrun before the name";
    Harbour harbour;
    Process wharf = start_wharf(harbour.dir.path);
    Crafter sender;
    if (name_taken) {
      sender.send(control("notes.txt"));
      ASSERT_TRUE(await_port_connected());
    }
    ::kill(wharf.pid(), SIGSTOP);
    if (!name_taken)
      sender.send(control("notes.txt"));
    const std::string contents = random_bytes(40 << 20);
    sender.send(control(std::to_string(contents.size())));
    for (std::size_t block = 0; block < contents.size() / 503; ++block)
      sender.send(blocks(contents, block, block + 1));
    ::kill(wharf.pid(), SIGCONT);
    const auto start = std::chrono::steady_clock::now();
    expect_one_line(wharf.wait(), "wharf: ", "the kernel dropped", what);
    const auto took = std::chrono::steady_clock::now() - start;
    harbour.expect_untouched(what);
    // Drops once the name is taken are the transfer's, said as soon as the
    // queue is read; before it, they may have been anyone's, and are said
    // after a second with nothing more. Both read the same full queue, so
    // the second shows as a difference however slow the machine.
    if (name_taken) {
      taken = took;
    } else {
      EXPECT_GT(took - taken, std::chrono::milliseconds(500)) << what;
      EXPECT_LT(took, std::chrono::seconds(4)) << what;
    }
  }
}

TEST(WharfFaults, AFullDiskShowsBeforeAnyDataIsWritten) {
  Harbour harbour;
  if (::mount("tmpfs", harbour.dir.path.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a small filesystem here";
  write_file(harbour.dir.path / "note1.txt", "earlier copy");
  write_file(harbour.dir.path / ".bashrc", "earlier shell setup");
  Process wharf = start_wharf(harbour.dir.path);
  // Only the name and the size: the space must be found missing before
  // any data comes, not after a silence.
  Crafter sender;
  sender.send(control("notes.txt"));
  sender.send(control(std::to_string(1 << 20)));
  const auto start = std::chrono::steady_clock::now();
  const Finished f = wharf.wait();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  harbour.expect_untouched("full disk");
  ::umount(harbour.dir.path.c_str());
  expect_one_line(f, "wharf: ", "No space left", "full disk");
}

TEST(WharfFaults, ASenderWhosePortIsTakenOverLeavesNoCopy) {
  Harbour harbour;
  Process wharf = start_wharf(harbour.dir.path);
  const std::string contents = random_bytes(1200);
  std::uint16_t port = 0;
  {
    Crafter first;
    port = first.port();
    first.send(control("notes.txt"));
    first.send(control("1200"));
    first.send(blocks(contents, 0, 1));
    ASSERT_TRUE(await_port_connected());
  }
  // Someone else binds the port the first sender left, and ends its transfer.
  Crafter takeover(port);
  takeover.send(blocks(contents, 1, 2));
  takeover.send(contents.substr(1006));
  expect_one_line(wharf.wait(), "wharf: ", "the socket that sent the name is gone", "takeover");
  harbour.expect_untouched("takeover");
}

TEST(WharfFaults, ASenderThatStopsMidTransfer) {
  TempDir from;
  Harbour to;
  write_file(from.path / "notes.txt", random_bytes(40 << 20));
  Process wharf = start_wharf(to.dir.path);
  Process ferry(ferry_path(), from.path, "notes.txt\n");
  ASSERT_TRUE(await_port_connected()); // wharf took the name
  ::kill(wharf.pid(), SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ::kill(ferry.pid(), SIGKILL);
  ::kill(wharf.pid(), SIGCONT);
  const auto start = std::chrono::steady_clock::now();
  expect_one_line(wharf.wait(), "wharf: ", "the socket that sent the name is gone",
                  "stopped sender");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  to.expect_untouched("stopped sender");
}

TEST(WharfFaults, ADiskThatFailsAtTheEndLeavesNoCopy) {
  if (failing("fsync").empty())
    GTEST_SKIP() << "the programs are linked statically: no call can be made to fail";
  TempDir from;
  write_file(from.path / "small.txt", random_bytes(1200));
  write_file(from.path / "large.txt", random_bytes(20 << 20)); // flushed while it arrives
  const struct {
    const char* call;
    const char* typed;
    const char* says;
  } cases[] = {
      {"fsync", "small.txt\n", "cannot put the copy in place as smal1.txt: Input/output error"},
      {"close", "small.txt\n", "cannot put the copy in place as smal1.txt: Input/output error"},
      {"fdatasync", "large.txt\n", "cannot put the copy in place as larg1.txt: Input/output error"},
      {"fsync_dir", "small.txt\n", "smal1.txt is in place, but its name may not survive"},
  };
  for (const auto& c : cases) {
    Harbour harbour;
    Process wharf = start_wharf(harbour.dir.path, {.env = failing(c.call)});
    // ferry's exit status says what wharf's says.
    expect_one_line(run(ferry_path(), from.path, c.typed), "ferry: ",
                    "wharf could not put the copy in place; no copy made", c.call);
    expect_one_line(wharf.wait(), "wharf: ", c.says, c.call);
    // Only the name can fail to reach the disk once the copy has it.
    if (std::string(c.call) != "fsync_dir")
      harbour.expect_untouched(c.call);
  }
}
