// What the programs show a user: answers to arguments, and failure lines
// that start a line of their own on a terminal.
#include <gtest/gtest.h>

#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

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
