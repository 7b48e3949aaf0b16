// Running the real programs and playing their peers, for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "private_net.hpp"

namespace fs = std::filesystem;

std::string ferry_path();
std::string wharf_path();

// A fresh directory under the system's temporary directory, removed afterwards
// with whatever permissions a test left on it.
struct TempDir {
  TempDir();
  ~TempDir();
  fs::path path;
};

std::string random_bytes(std::size_t length, unsigned seed = 1);
void write_file(const fs::path& path, const std::string& contents);
std::string read_file(const fs::path& path);
// Names in a folder, hidden ones included.
std::vector<std::string> list_dir(const fs::path& dir);

struct Finished {
  int status = -1; // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Two ordinary users, with no account needed: the user "nobody", and a
// number no account has.
// The programs' waits for each other (10 s), which a build for the tests
// lets a test shorten to a second with SHORT_WAITS in its environment.
#ifdef FERRY_WHARF_TEST_LIMITS
inline constexpr int WAIT_SECONDS = 1;
#else
inline constexpr int WAIT_SECONDS = 10;
#endif
inline const std::vector<std::string> SHORT_WAITS = {"FERRY_WHARF_TEST_LIMIT=1"};

inline constexpr uid_t NOBODY = 65534;
inline constexpr uid_t STRANGER = 4242;

// The status of a program that was to be started offline where no network
// of its own can be made.
inline constexpr int OFFLINE_UNAVAILABLE = 124;

// How a program is started, beyond its folder and its input.
struct Launch {
  // As another user (NOBODY, or STRANGER for a second one) when the tests
  // run as root, so that permissions bite; 0 keeps the tests' own user.
  uid_t as_user = 0;
  std::vector<std::string> args = {};
  std::vector<std::string> env = {}; // NAME=value, added to the environment
  bool offline = false;         // in a network of its own whose loopback is down
  unsigned stack_kib = 0;       // a stack limit, as `ulimit -s` sets one
  bool hangup_ignored = false;  // SIGHUP ignored, as nohup leaves it
};

// A program started in a folder with text on its standard input. It dies
// with the test process.
class Process {
public:
  Process(const std::string& program, const fs::path& cwd, const std::string& input = "",
          const Launch& how = {});
  Process(Process&& other) noexcept;
  Process(const Process&) = delete;
  ~Process();
  Finished wait(int timeout_seconds = 30);
  pid_t pid() const { return pid_; }

private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1; // unnamed files: nothing left on disk
};

Finished run(const std::string& program, const fs::path& cwd, const std::string& input,
             int timeout_seconds = 30, const Launch& how = {});

// Whether the test process runs in a network of its own, whose settings
// (sysctls under /proc/sys/net) it may change.
bool in_network_of_own();

// Whether some socket is bound to UDP port 8885, read from /proc/net/udp.
bool port_bound();
// Waits up to 2 s for a program just started to bind the port.
void await_port_bound();
// Waits up to 2 s until the socket on the port is connected to a sender.
bool await_port_connected();
// Starts wharf in `cwd` and returns once it holds the port.
Process start_wharf(const fs::path& cwd, const Launch& how = {});
// The environment in which one system call of a program fails with EIO
// (support/failing_call.cpp names the calls), or {} where a library
// cannot be preloaded into the programs (a static build).
std::vector<std::string> failing(const std::string& call);

// A plain receiver on UDP port 8885 that records every datagram, one per
// call, on default socket buffers; or, for its first `slow_seconds`, a slow
// one that takes 5 datagrams every 100 ms from a queue of 8 MiB. One that
// is given `reads` stops reading after that many.
class Listener {
public:
  explicit Listener(int slow_seconds = 0, std::size_t reads = SIZE_MAX);
  ~Listener();
  // Stops listening and hands over what came, in order.
  std::vector<std::string> stop();

private:
  int sock_ = -1;
  std::atomic<bool> stopping_{false};
  std::vector<std::string> got_;
  std::thread thread_;
};

// A hand-made sender: each datagram exactly as given, to 127.0.0.1:8885.
class Crafter {
public:
  // From `port` on 127.0.0.1, or one the kernel picks.
  explicit Crafter(std::uint16_t port = 0);
  std::uint16_t port() const;
  ~Crafter();
  void send(const std::string& datagram);
  // Name, size text and the contents in 503-byte blocks, as ferry sends
  // them; paced (a pause every 64 blocks) not to outrun wharf's queue.
  void send_transfer(const std::string& name, const std::string& contents, bool paced = true);

private:
  int sock_ = -1;
};

// A sender outside this machine, as wharf sees it: datagrams that come in
// from 127.0.0.2 on a device of the test's own network, not on loopback: a
// TUN device, or where /dev/net/tun is root's alone, one end of a veth
// pair, written to from the other. Made only where the test has a network
// of its own.
class Outsider {
public:
  Outsider();
  ~Outsider();
  bool ready() const { return fd_ >= 0; }
  void send(const std::string& datagram); // to 127.0.0.1:8885

private:
  bool by_veth();
  int fd_ = -1;
  bool ethernet_ = false;                    // a veth end: frames, to this address
  unsigned char to_[20] = {};                // the peer end's sockaddr_ll
  unsigned char ethernet_header_[14] = {};   // to the receiving end's MAC
};

std::string control(const std::string& text); // text, NUL, zero fill to 20
// Blocks [from, to) of `contents`, laid end to end.
std::string blocks(const std::string& contents, std::size_t from, std::size_t to);

// A folder's files and their contents, to show a failure changed nothing.
std::vector<std::pair<std::string, std::string>> snapshot(const fs::path& dir);
