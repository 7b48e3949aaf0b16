#include "harness.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

std::string ferry_path() {
  return FERRY_PATH;
}
std::string wharf_path() {
  return WHARF_PATH;
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "ferry-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

std::string random_bytes(std::size_t length, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(length, '\0');
  for (char& c : s)
    c = static_cast<char>(gen());
  return s;
}

void write_file(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> list_dir(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  return names;
}

Process::Process(const std::string& program, const fs::path& cwd, const std::string& input,
                 bool as_nobody) {
  static int serial = 0;
  const std::string stem =
      "/tmp/ferry-test-io-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
  out_ = stem + ".out";
  err_ = stem + ".err";
  int in[2];
  if (::pipe(in) != 0)
    throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::close(in[1]);
    ::dup2(::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    ::dup2(::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    if (as_nobody && ::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(125);
    if (::chdir(cwd.c_str()) != 0)
      ::_exit(126);
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::signal(SIGPIPE, SIG_IGN);
  if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) {
    // the program may have ended without reading
  }
  ::close(in[1]);
}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ignored;
  fs::remove(out_, ignored);
  fs::remove(err_, ignored);
}

Finished Process::wait(int timeout_seconds) {
  Finished f;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  f.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  f.out = read_file(out_);
  f.err = read_file(err_);
  return f;
}

Finished run(const std::string& program, const fs::path& cwd, const std::string& input,
             int timeout_seconds, bool as_nobody) {
  return Process(program, cwd, input, as_nobody).wait(timeout_seconds);
}

bool port_bound() {
  std::ifstream udp("/proc/net/udp");
  std::string line;
  while (std::getline(udp, line))
    if (line.find(":22B5 ") != std::string::npos && line.find(":22B5 ") < 30)
      return true;
  return false;
}

Process start_wharf(const fs::path& cwd, bool as_nobody) {
  Process wharf(wharf_path(), cwd, "", as_nobody);
  for (int i = 0; i < 400 && !port_bound(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return wharf;
}

namespace {
sockaddr_in port_address() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(8885);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}
} // namespace

Listener::Listener() : sock_(::socket(AF_INET, SOCK_DGRAM, 0)) {
  const sockaddr_in addr = port_address();
  if (::bind(sock_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("the test listener cannot bind port 8885");
  const timeval tick{0, 50'000};
  ::setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  thread_ = std::thread([this] {
    char buffer[70'000];
    for (;;) {
      const ssize_t got = ::recv(sock_, buffer, sizeof buffer, 0);
      if (got >= 0)
        got_.emplace_back(buffer, static_cast<std::size_t>(got));
      else if (stopping_)
        return;
    }
  });
}

std::vector<std::string> Listener::stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    thread_.join();
  }
  return got_;
}

Listener::~Listener() {
  stop();
  ::close(sock_);
}

Crafter::Crafter() : sock_(::socket(AF_INET, SOCK_DGRAM, 0)) {}
Crafter::~Crafter() {
  ::close(sock_);
}

void Crafter::send(const std::string& datagram) {
  const sockaddr_in to = port_address();
  ::sendto(sock_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
}

void Crafter::send_transfer(const std::string& name, const std::string& contents) {
  send(control(name));
  send(control(std::to_string(contents.size())));
  std::size_t offset = 0;
  for (; offset + 503 <= contents.size(); offset += 503) {
    send(contents.substr(offset, 503));
    if (offset % (503 * 64) == 0) // a plain sender, but not faster than wharf's queue
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  send(contents.substr(offset));
}

std::string control(const std::string& text) {
  std::string d = text.substr(0, 20);
  d.resize(20, '\0');
  return d;
}

std::string blocks(const std::string& contents, std::size_t from, std::size_t to) {
  return contents.substr(from * 503, (to - from) * 503);
}

std::vector<std::pair<std::string, std::string>> snapshot(const fs::path& dir) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string& name : list_dir(dir))
    files.emplace_back(name, read_file(dir / name));
  std::sort(files.begin(), files.end());
  return files;
}
