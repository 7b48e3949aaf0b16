// What the programs show a user: answers to arguments, and failure lines
// that start a line of their own on a terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "support/harness.hpp"

TEST(Console, ArgumentsAreAnsweredOrRefusedBeforeAnythingElse) {
  TempDir dir;
  write_file(dir.path / "notes.txt", "x");
  for (const std::string& program : {ferry_path(), wharf_path()}) {
    const std::string me = fs::path(program).filename();
    Listener listener; // holds the port: a wharf that went on would fail to bind
    const Finished help = run(program, dir.path, "notes.txt\n", 10, {.args = {"--help"}});
    EXPECT_EQ(help.status, 0) << me;
    EXPECT_EQ(help.out.rfind("Usage: " + me + "\n", 0), 0U) << help.out;
    EXPECT_NE(help.out.find(me + "(1)"), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");
    const Finished version = run(program, dir.path, "notes.txt\n", 10, {.args = {"--version"}});
    EXPECT_EQ(version.status, 0) << me;
    EXPECT_EQ(version.out.rfind(me + " " + VERSION + "\nCopyright (c) 2026 ", 0), 0U);
    EXPECT_NE(version.out.find("License: MIT"), std::string::npos) << version.out;
    // An answer stdout would not take is a failure, not a success.
    for (const char* asked : {"--help", "--version"}) {
      const Finished full = run("/bin/sh", dir.path, "", 10,
                                {.args = {"-c", "exec \"$0\" \"$1\" >/dev/full", program, asked}});
      EXPECT_EQ(full.status, 1) << me << " " << asked;
      EXPECT_EQ(full.err, me + ": write error: No space left on device\n");
    }
    const struct {
      std::vector<std::string> args;
      const char* refused;
    } refusals[] = {{{"notes.txt"}, "notes.txt"}, {{"--help", "x"}, "x"}, {{"-v"}, "-v"}};
    for (const auto& r : refusals) {
      const Finished f = run(program, dir.path, "notes.txt\n", 10, {.args = r.args});
      EXPECT_EQ(f.status, 1) << me << " " << r.refused;
      EXPECT_EQ(f.out, "") << "no prompt: " << f.out;
      EXPECT_EQ(f.err.rfind(me + ": takes no arguments (got \"" + r.refused + "\")", 0), 0U)
          << f.err;
      EXPECT_EQ(std::count(f.err.begin(), f.err.end(), '\n'), 1) << f.err;
    }
    EXPECT_TRUE(listener.stop().empty()) << me;
  }
  EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"notes.txt"});
}

TEST(Console, OnATerminalAFailureAfterANumberStartsALineOfItsOwn) {
  TempDir dir;
  fs::create_directory(dir.path / "note1.txt"); // refused once the size has come
  const std::string says = "wharf: note1.txt is a directory";
  {
    Process wharf = start_wharf(dir.path);
    Crafter sender;
    sender.send_transfer("notes.txt", "hello");
    const Finished piped = wharf.wait();
    EXPECT_EQ(piped.out, "9");
    EXPECT_EQ(piped.err.rfind(says, 0), 0U) << piped.err;
  }
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::chdir(dir.path.c_str()) == 0)
      ::execl(wharf_path().c_str(), "wharf", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  await_port_bound();
  Crafter sender;
  sender.send_transfer("notes.txt", "hello");
  std::string screen;
  char chunk[512];
  for (ssize_t got; (got = ::read(terminal, chunk, sizeof chunk)) > 0;)
    screen.append(chunk, static_cast<std::size_t>(got));
  ::close(terminal);
  ::waitpid(pid, nullptr, 0);
  EXPECT_EQ(screen.rfind("9\r\n" + says, 0), 0U) << screen;
}

namespace {

// A program at a terminal of its own, typed at as a person types.
class AtTerminal {
public:
  AtTerminal(const std::string& program, const fs::path& cwd) {
    const winsize size{24, 100, 0, 0};
    if (::openpty(&master_, &slave_, nullptr, nullptr, &size) != 0)
      throw std::runtime_error("cannot open a pseudo-terminal");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::setsid();
      ::ioctl(slave_, TIOCSCTTY, 0);
      for (int fd = 0; fd < 3; ++fd)
        ::dup2(slave_, fd);
      if (::chdir(cwd.c_str()) == 0)
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~AtTerminal() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    ::close(master_);
    ::close(slave_);
  }
  // Reads the screen until it shows `text`, or 10 s pass.
  bool await(const std::string& text) {
    for (int i = 0; i < 1000 && screen_.find(text) == std::string::npos; ++i)
      read_some(10);
    return screen_.find(text) != std::string::npos;
  }
  void type(const std::string& keys) {
    if (::write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
      throw std::runtime_error("cannot type at the terminal");
  }
  // The exit status, once the program has ended, within 10 s.
  int status() {
    int status = 0;
    for (int i = 0; i < 1000 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
      read_some(10);
    read_some(0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Bytes typed that the program left in the terminal's input queue.
  int unread() const {
    int left = -1;
    ::ioctl(slave_, FIONREAD, &left);
    return left;
  }
  const std::string& screen() const { return screen_; }

private:
  void read_some(int milliseconds) {
    pollfd ready{master_, POLLIN, 0};
    char chunk[4096];
    if (::poll(&ready, 1, milliseconds) == 1) {
      const ssize_t got = ::read(master_, chunk, sizeof chunk);
      if (got > 0)
        screen_.append(chunk, static_cast<std::size_t>(got));
    }
  }
  int master_ = -1, slave_ = -1;
  pid_t pid_ = -1;
  std::string screen_;
};

} // namespace

TEST(Console, AtATerminalTabCompletesAndNothingOfARefusedLineIsLeft) {
  TempDir from, to;
  write_file(from.path / "notes.txt", random_bytes(1200));
#ifdef FERRY_LINE_EDITOR
  {
    Process wharf = start_wharf(to.path);
    AtTerminal ferry(ferry_path(), from.path);
    ASSERT_TRUE(ferry.await("Enter Filename with extension: "));
    ferry.type("no\t");
    ASSERT_TRUE(ferry.await("tes.txt ")) << ferry.screen(); // completed after "no"
    ferry.type("\r");
    EXPECT_EQ(ferry.status(), 0) << ferry.screen();
    EXPECT_EQ(wharf.wait().status, 0);
    EXPECT_EQ(read_file(to.path / "note1.txt"), read_file(from.path / "notes.txt"));
  }
#endif
  // A long pasted line, refused: none of it is left for the shell to run.
  AtTerminal ferry(ferry_path(), from.path);
  ASSERT_TRUE(ferry.await("Enter Filename with extension: "));
  ferry.type(std::string(1100, 'a') + "; touch INJECTED\r");
  EXPECT_EQ(ferry.status(), 1);
  EXPECT_NE(ferry.screen().find("is over 19 bytes; nothing sent"), std::string::npos);
  EXPECT_EQ(ferry.unread(), 0);
}
