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
#include <termios.h>
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
  AtTerminal(const std::string& program, const fs::path& cwd, unsigned short columns = 100,
             const char* term = "xterm", bool hangup_ignored = false) {
    const winsize size{24, columns, 0, 0};
    if (::openpty(&master_, &slave_, nullptr, nullptr, &size) != 0)
      throw std::runtime_error("cannot open a pseudo-terminal");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::setsid();
      ::ioctl(slave_, TIOCSCTTY, 0);
      for (int fd = 0; fd < 3; ++fd)
        ::dup2(slave_, fd);
      ::setenv("TERM", term, 1);
      ::setenv("LC_ALL", "C.UTF-8", 1);
      if (hangup_ignored)
        ::signal(SIGHUP, SIG_IGN); // as nohup leaves it
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
  // Reads the screen until it shows `text` (after its first `from` bytes),
  // or 10 s pass.
  bool await(const std::string& text, std::size_t from = 0) {
    for (int i = 0; i < 1000 && screen_.find(text, from) == std::string::npos; ++i)
      read_some(10);
    return screen_.find(text, from) != std::string::npos;
  }
  // Types a line once the line editor has the terminal (or, without one,
  // after 200 ms): keys typed before it has are echoed by the terminal too.
  void type_line(const std::string& keys) {
    termios mode{};
    for (int i = 0; i < 20 && ::tcgetattr(slave_, &mode) == 0 && (mode.c_lflag & ICANON) != 0; ++i)
      read_some(10);
    type(keys);
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
  // Whether the program has not ended yet (its end is left to status()).
  bool running() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }
  const std::string& screen() const { return screen_; }
  void signal(int number) const { ::kill(pid_, number); }
  // Reads what the program shows for `milliseconds`.
  void read_for(int milliseconds) {
    for (int i = 0; i < milliseconds / 10; ++i)
      read_some(10);
  }
  // The window is made `columns` wide, as a person resizes it.
  void resize(unsigned short columns) const {
    const winsize size{24, columns, 0, 0};
    ::ioctl(master_, TIOCSWINSZ, &size);
  }

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
  write_file(from.path / "r\xc3\xa9sum\xc3\xa9.txt", random_bytes(700));
  write_file(from.path / "my report.txt", "two words: never offered");
#ifdef FERRY_LINE_EDITOR
  const struct {
    const char* typed;
    const char* completed; // what the screen shows after the Tab
    const char* source;
    const char* copy;
  } cases[] = {
      {"no\t", "tes.txt ", "notes.txt", "note1.txt"},
      {"r\t", "sum\xc3\xa9.txt ", "r\xc3\xa9sum\xc3\xa9.txt", "r\xc3\xa9sum1.txt"},
      {"m\t", ".txt ", "m.txt", "1.txt"}, // "my report.txt" is two words: not offered
  };
  write_file(from.path / "m.txt", "m");
  for (const auto& c : cases) {
    Process wharf = start_wharf(to.path);
    AtTerminal ferry(ferry_path(), from.path);
    ASSERT_TRUE(ferry.await("Enter Filename with extension: "));
    ferry.type(c.typed);
    ASSERT_TRUE(ferry.await(c.completed)) << ferry.screen();
    ferry.type("\r");
    EXPECT_EQ(ferry.status(), 0) << ferry.screen();
    EXPECT_EQ(wharf.wait().status, 0);
    EXPECT_EQ(read_file(to.path / c.copy), read_file(from.path / c.source));
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

namespace {

// What a terminal `columns` wide shows after `bytes`, enough of one for
// what the programs write: text that wraps at the edge, CR, LF, and the
// cursor moves and erases they use. `wraps` counts the wraps.
struct Screen {
  explicit Screen(std::size_t columns) : width(columns), rows(1) {}
  void feed(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (c == '\r') {
        col = 0;
      } else if (c == '\n') {
        if (++row == rows.size())
          rows.emplace_back();
      } else if (c == '\033' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
        std::size_t end = i + 2;
        while (end < bytes.size() && (std::isdigit(bytes[end]) != 0 || bytes[end] == '?' ||
                                      bytes[end] == ';'))
          ++end;
        const std::size_t n = end > i + 2 ? std::strtoul(bytes.c_str() + i + 2, nullptr, 10) : 1;
        const char op = end < bytes.size() ? bytes[end] : '\0';
        if (op == 'A')
          row -= std::min(row, n);
        else if (op == 'C')
          col = std::min(width - 1, col + n);
        else if (op == 'K' || op == 'J')
          erase(op == 'J');
        i = end;
      } else if (static_cast<unsigned char>(c) >= 0x20 &&
                 (static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        if (col == width) {
          ++wraps;
          col = 0;
          if (++row == rows.size())
            rows.emplace_back();
        }
        std::string& line = rows[row];
        if (line.size() < col + 1)
          line.resize(col + 1, ' ');
        line[col++] = c;
      }
    }
  }
  // A window made narrower rewraps its long lines, as tmux and most
  // terminals do, and the cursor goes with its character.
  void resize(std::size_t columns) {
    std::vector<std::string> rewrapped;
    std::size_t new_row = 0, new_col = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const std::string& line = rows[r];
      for (std::size_t at = 0; at == 0 || at < line.size(); at += columns) {
        if (r == row && col >= at && (col < at + columns || at + columns >= line.size())) {
          new_row = rewrapped.size() + (col - at) / columns;
          new_col = (col - at) % columns;
        }
        rewrapped.push_back(line.substr(at, columns));
      }
    }
    while (rewrapped.size() <= new_row)
      rewrapped.emplace_back();
    rows = rewrapped;
    row = new_row;
    col = new_col;
    width = columns;
  }
  void erase(bool below) {
    if (rows[row].size() > col)
      rows[row].resize(col);
    if (below)
      rows.resize(row + 1);
  }
  std::string text() const {
    std::string all;
    // Trailing blanks do not show: a line editor and a plain prompt wrap alike.
    for (const std::string& line : rows)
      all += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    return all;
  }
  std::size_t width, col = 0, row = 0, wraps = 0;
  std::vector<std::string> rows;
};

} // namespace

// A slow receiver keeps the copy going for a few seconds: at 20 columns
// the status line never wraps, a stop erases it, and on the way out
// nothing of it is left beside the number.
TEST(Console, AtANarrowTerminalTheStatusLineFitsAndLeavesNoTrace) {
  TempDir from;
  write_file(from.path / "data.bin", random_bytes(600 * 503));
  Listener slow(2);
  AtTerminal ferry(ferry_path(), from.path, 20);
  ASSERT_TRUE(ferry.await("extension: "));
  ferry.type_line("data.bin\r");
  ASSERT_TRUE(ferry.await("\r\n"));
  const std::size_t typed = ferry.screen().rfind("\r\n") + 2;
  ASSERT_TRUE(ferry.await("0  ", typed)) << ferry.screen(); // the number, then the status
  const std::size_t before_stop = ferry.screen().size();
  ferry.signal(SIGTSTP);
  ASSERT_TRUE(ferry.await("\033[K  ", before_stop)) << ferry.screen(); // erased, drawn again
  EXPECT_EQ(ferry.status(), 0) << ferry.screen();
  slow.stop();
  Screen screen(20);
  screen.feed(ferry.screen().substr(0, typed));
  const std::size_t prompt_wraps = screen.wraps;
  screen.feed(ferry.screen().substr(typed));
  EXPECT_EQ(screen.wraps, prompt_wraps) << screen.text();
  EXPECT_EQ(screen.text(), "Enter Filename with\nextension: data.bin\n0\n");
}

// A copy of 2000 blocks, typed at a terminal, into a receiver that stops
// reading after 52 datagrams.
struct StalledCopy {
  TempDir from;
  Listener stuck{0, 2 + 50};
  AtTerminal ferry;
  explicit StalledCopy(const char* term = "xterm", bool hangup_ignored = false)
      : ferry(ferry_path(), from.path, 100, term, hangup_ignored) {
    write_file(from.path / "data.bin", random_bytes(2000 * 503));
  }
  // Types the name; where what ferry shows after the typed line begins,
  // or 0 if the prompt or the line's end never came.
  std::size_t type_name() {
    if (!ferry.await("extension: "))
      return 0;
    ferry.type_line("data.bin\r");
    return ferry.await("\r\n") ? ferry.screen().rfind("\r\n") + 2 : 0;
  }
};

// A receiver that stops reading: after a second the line says the copy has
// stalled; a resize to just the width of the line, which puts the cursor on
// the next row, is followed; and a hangup leaves nothing.
TEST(Console, AStalledCopySaysSoAndAResizeOrHangupLeavesNoTrace) {
  StalledCopy copy;
  AtTerminal& ferry = copy.ferry;
  const std::size_t typed = copy.type_name();
  ASSERT_NE(typed, 0U) << ferry.screen();
  ASSERT_TRUE(ferry.await("stalled for 1 s")) << ferry.screen();
  const std::size_t wide = ferry.screen().size();
  Screen screen(100);
  screen.feed(ferry.screen().substr(0, typed));
  const std::size_t prompt_wraps = screen.wraps;
  screen.feed(ferry.screen().substr(typed, wide - typed));
  const std::size_t line = screen.col; // the number and the status
  ferry.resize(static_cast<unsigned short>(line));
  ASSERT_TRUE(ferry.await("stalled for 2", wide)) << ferry.screen();
  ferry.signal(SIGHUP);
  EXPECT_EQ(ferry.status(), -1); // ended by the signal
  copy.stuck.stop();
  screen.resize(line);
  screen.feed(ferry.screen().substr(wide));
  Screen clean(line);
  clean.feed("Enter Filename with extension: data.bin\r\n0");
  EXPECT_EQ(screen.wraps, prompt_wraps) << screen.text();
  EXPECT_EQ(screen.text(), clean.text());
}

// Under nohup, which ignores a hangup, the copy goes on, and SIGTERM then
// leaves nothing of the line.
TEST(Console, UnderNohupAHangupChangesNothing) {
  StalledCopy copy("xterm", true);
  AtTerminal& ferry = copy.ferry;
  const std::size_t typed = copy.type_name();
  ASSERT_NE(typed, 0U) << ferry.screen();
  ASSERT_TRUE(ferry.await("\033[K", typed)) << ferry.screen(); // the status line is up
  ferry.signal(SIGHUP);
  ferry.read_for(200);
  EXPECT_TRUE(ferry.running()) << ferry.screen();
  ferry.signal(SIGTERM);
  EXPECT_EQ(ferry.status(), -1);
  copy.stuck.stop();
  Screen screen(100);
  screen.feed(ferry.screen());
  EXPECT_EQ(screen.text(), "Enter Filename with extension: data.bin\n0\n");
}

// wharf's line, up while a slow sender's blocks come, is gone before the
// last number is printed beside the first.
TEST(Console, WharfErasesItsLineBeforeTheLastNumber) {
  TempDir dir;
  Crafter sender; // first, so that the port is found free before this test's wharf holds it
  AtTerminal wharf(wharf_path(), dir.path);
  await_port_bound();
  const std::string contents = random_bytes(1011);
  sender.send(control("data.bin"));
  sender.send(control("1011"));
  sender.send(blocks(contents, 0, 1));
  ASSERT_TRUE(wharf.await("\033[K")) << wharf.screen(); // the status line is up
  sender.send(blocks(contents, 1, 2));
  sender.send(contents.substr(1006));
  EXPECT_EQ(wharf.status(), 0) << wharf.screen();
  Screen screen(100);
  screen.feed(wharf.screen());
  EXPECT_EQ(screen.text(), "85\n");
  EXPECT_EQ(read_file(dir.path / "dat1.bin"), contents);
}

// A terminal that cannot move its cursor gets no status line at all.
TEST(Console, AtADumbTerminalNoStatusLineIsDrawn) {
  StalledCopy copy("dumb");
  AtTerminal& ferry = copy.ferry;
  const std::size_t typed = copy.type_name();
  ASSERT_NE(typed, 0U) << ferry.screen();
  ASSERT_TRUE(ferry.await("0", typed)) << ferry.screen();
  const std::size_t number = ferry.screen().size();
  ferry.read_for(1500); // past the second after which a status line would show
  EXPECT_EQ(ferry.screen().find('\033', number), std::string::npos) << ferry.screen();
  EXPECT_EQ(ferry.screen().size(), number) << ferry.screen();
  ferry.signal(SIGTERM);
  EXPECT_EQ(ferry.status(), -1);
  copy.stuck.stop();
}
