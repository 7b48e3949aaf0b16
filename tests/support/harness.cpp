#include "harness.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/if_tun.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/ethernet.h>
#include <netpacket/packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "private_net.hpp"

std::string ferry_path() {
  return FERRY_PATH;
}
std::string wharf_path() {
  return WHARF_PATH;
}

namespace {

// Each test process gets a network of its own before any test runs, and a
// temporary directory of its own that vanishes with it, passed or failed.
const char* isolation_problem = "not yet isolated";

struct Isolation : testing::Environment {
  void SetUp() override { isolation_problem = enter_private_network(true); }
};
[[maybe_unused]] testing::Environment* const isolation =
    testing::AddGlobalTestEnvironment(new Isolation);

} // namespace

bool in_network_of_own() {
  return isolation_problem == nullptr;
}

namespace {

// The socket bound to UDP port 8885 in this network: its inode, or "", and
// whether it is connected to a peer.
std::string port_inode(bool* connected = nullptr) {
  std::ifstream udp("/proc/net/udp");
  std::string line;
  while (std::getline(udp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    if (local.size() > 5 && local.substr(local.size() - 5) == ":22B5") {
      if (connected != nullptr)
        *connected = remote != "00000000:0000";
      return inode;
    }
  }
  return "";
}

// "process 1234 (wharf)" for the process whose descriptor is that socket.
std::string holder_of(const std::string& inode) {
  const std::string target = "socket:[" + inode + "]";
  std::error_code ignored;
  for (const auto& proc : fs::directory_iterator("/proc", ignored)) {
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", ignored))
      if (fs::read_symlink(fd.path(), ignored).string() == target) {
        std::string comm = read_file(proc.path() / "comm");
        comm.erase(comm.find_last_not_of('\n') + 1);
        return "process " + proc.path().filename().string() + " (" + comm + ")";
      }
  }
  return "a process of another user";
}

// Without a network of its own, a test shares port 8885 with the machine:
// then end-to-end tests take turns, and none starts while anything it did
// not start holds the port, so test data never reaches a user's wharf.
void guard_port() {
  static const bool checked = [] {
    if (isolation_problem == nullptr)
      return true;
    static const int self = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    ::flock(self, LOCK_EX);
    const std::string inode = port_inode();
    if (!inode.empty())
      throw std::runtime_error("UDP port 8885 is held by " + holder_of(inode) + " and " +
                               isolation_problem + "; not sending test data to it");
    return true;
  }();
  (void)checked;
}

// Run as another user, a program must not need to reach the build directory,
// which may sit in a private home: it gets a copy of its own.
std::string reachable_copy(const std::string& program) {
  static TempDir bin;
  fs::permissions(bin.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  const fs::path copy = bin.path / fs::path(program).filename();
  if (!fs::exists(copy))
    fs::copy_file(program, copy);
  return copy.string();
}

// Permissions a test took away are given back, so the directory can go.
void make_removable(const fs::path& dir) {
  std::error_code ignored;
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (const auto& entry : fs::directory_iterator(dir, ignored))
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored))
      make_removable(entry.path());
}

std::string read_all(int fd) {
  std::string text;
  char chunk[4096];
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(fd, chunk, sizeof chunk, at);
    if (got <= 0)
      return text;
    text.append(chunk, static_cast<std::size_t>(got));
    at += got;
  }
}

} // namespace

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "ferry-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  ::umount2(path.c_str(), MNT_DETACH); // a test's own filesystem, if one is left mounted
  make_removable(path);
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
                 const Launch& how)
    : out_(::memfd_create("out", MFD_CLOEXEC)), err_(::memfd_create("err", MFD_CLOEXEC)) {
  guard_port();
  const bool drop = how.as_user != 0 && may_act_as_others();
  const std::string path = drop ? reachable_copy(program) : program;
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& arg : how.args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int in[2];
  if (out_ < 0 || err_ < 0 || ::pipe(in) != 0)
    throw std::runtime_error("cannot set up a program's input and output");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive a test that was killed
    ::dup2(in[0], 0);
    ::close(in[1]);
    ::dup2(out_, 1);
    ::dup2(err_, 2);
    if (drop && (::setgroups(0, nullptr) != 0 || ::setgid(how.as_user) != 0 ||
                 ::setuid(how.as_user) != 0))
      ::_exit(125);
    if (::chdir(cwd.c_str()) != 0)
      ::_exit(126);
    if (how.hangup_ignored)
      ::signal(SIGHUP, SIG_IGN);
    if (how.offline && ::unshare(CLONE_NEWNET) != 0)
      ::_exit(OFFLINE_UNAVAILABLE);
    const rlimit stack{how.stack_kib * 1024UL, how.stack_kib * 1024UL};
    if (how.stack_kib > 0 && ::setrlimit(RLIMIT_STACK, &stack) != 0)
      ::_exit(126);
    for (const std::string& variable : how.env)
      ::putenv(const_cast<char*>(variable.c_str()));
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::signal(SIGPIPE, SIG_IGN);
  if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) {
    // the program may have ended without reading
  }
  ::close(in[1]);
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), out_(std::exchange(other.out_, -1)),
      err_(std::exchange(other.err_, -1)) {}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::close(out_);
  ::close(err_);
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
  f.out = read_all(out_);
  f.err = read_all(err_);
  return f;
}

Finished run(const std::string& program, const fs::path& cwd, const std::string& input,
             int timeout_seconds, const Launch& how) {
  return Process(program, cwd, input, how).wait(timeout_seconds);
}

bool port_bound() {
  return !port_inode().empty();
}

void await_port_bound() {
  for (int i = 0; i < 400 && !port_bound(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

bool await_port_connected() {
  bool connected = false;
  for (int i = 0; i < 400 && !(port_inode(&connected), connected); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return connected;
}

Process start_wharf(const fs::path& cwd, const Launch& how) {
  Process wharf(wharf_path(), cwd, "", how);
  await_port_bound();
  return wharf;
}

std::vector<std::string> failing(const std::string& call) {
#ifdef PROGRAMS_STATIC
  (void)call;
  return {};
#else
  // A sanitized program wants its runtime first; the library uses none.
  const char* asan = std::getenv("ASAN_OPTIONS");
  // LD_PRELOAD splits at blanks, which a checkout's path may hold: the
  // library is preloaded from a copy in a folder of the test's own.
  return {"LD_PRELOAD=" + reachable_copy(FAILING_CALL_PATH), "FAIL_CALL=" + call,
          "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0"};
#endif
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

Listener::Listener(int slow_seconds, std::size_t reads)
    : sock_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  guard_port();
  const int queue = 4 << 20; // the kernel doubles it
  if (slow_seconds > 0 && ::setsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue) != 0)
    throw std::runtime_error("the test listener cannot size its queue");
  const sockaddr_in addr = port_address();
  if (::bind(sock_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("the test listener cannot bind port 8885");
  const timeval tick{0, 50'000};
  if (::setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0)
    throw std::runtime_error("the test listener cannot set its receive timeout");
  thread_ = std::thread([this, slow_seconds, reads] {
    char buffer[70'000];
    const auto slow_until = std::chrono::steady_clock::now() + std::chrono::seconds(slow_seconds);
    while (!stopping_ && std::chrono::steady_clock::now() < slow_until) {
      for (int i = 0; i < 5; ++i) {
        const ssize_t got = ::recv(sock_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got >= 0)
          got_.emplace_back(buffer, static_cast<std::size_t>(got));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    while (got_.size() < reads) {
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

Crafter::Crafter(std::uint16_t port) : sock_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  guard_port();
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_port = htons(port);
  from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(sock_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
    throw std::runtime_error("the test sender cannot bind its port");
}

std::uint16_t Crafter::port() const {
  sockaddr_in from{};
  socklen_t length = sizeof from;
  ::getsockname(sock_, reinterpret_cast<sockaddr*>(&from), &length);
  return ntohs(from.sin_port);
}
Crafter::~Crafter() {
  ::close(sock_);
}

void Crafter::send(const std::string& datagram) {
  const sockaddr_in to = port_address();
  if (::sendto(sock_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) != static_cast<ssize_t>(datagram.size()))
    throw std::runtime_error(std::string("the test sender's sendto failed: ") +
                             std::strerror(errno));
}

void Crafter::send_transfer(const std::string& name, const std::string& contents, bool paced) {
  send(control(name));
  send(control(std::to_string(contents.size())));
  std::size_t offset = 0;
  for (; offset + 503 <= contents.size(); offset += 503) {
    send(contents.substr(offset, 503));
    if (paced && offset % (503 * 64) == 0)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  send(contents.substr(offset));
}

namespace {

std::uint16_t ip_checksum(const unsigned char* data, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2)
    sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  while (sum >> 16)
    sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// A sysctl of the test's own network, such as one of the TUN device's.
bool set_sysctl(const std::string& path, const char* value) {
  std::ofstream file(path);
  return static_cast<bool>(file << value << std::flush);
}

} // namespace

namespace {

// Both ends of the device that brings the outsider's datagrams in, set to
// take packets from 127.0.0.2 to 127.0.0.1, which only these two settings
// allow, and up.
bool bring_up_outside(int sock, const char* name) {
  const std::string conf = std::string("/proc/sys/net/ipv4/conf/") + name + "/";
  ifreq ifr{};
  std::strcpy(ifr.ifr_name, name);
  bool ok = set_sysctl(conf + "route_localnet", "1") && set_sysctl(conf + "accept_local", "1") &&
            ::ioctl(sock, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  return ok && ::ioctl(sock, SIOCSIFFLAGS, &ifr) == 0;
}

// A netlink attribute appended at `at`, its payload `length` bytes long.
rtattr* add_attribute(nlmsghdr* message, unsigned short type, const void* payload,
                      std::size_t length) {
  auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(message) +
                                              NLMSG_ALIGN(message->nlmsg_len));
  attribute->rta_type = type;
  attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
  if (length > 0)
    std::memcpy(RTA_DATA(attribute), payload, length);
  message->nlmsg_len = NLMSG_ALIGN(message->nlmsg_len) + RTA_ALIGN(attribute->rta_len);
  return attribute;
}

void end_nest(nlmsghdr* message, rtattr* nest) {
  nest->rta_len = static_cast<unsigned short>(reinterpret_cast<char*>(message) +
                                              message->nlmsg_len - reinterpret_cast<char*>(nest));
}

// Makes the veth pair outside0 (where the datagrams come in) and outside1.
bool make_veth_pair() {
  alignas(nlmsghdr) char buffer[512] = {};
  auto* message = reinterpret_cast<nlmsghdr*>(buffer);
  message->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
  message->nlmsg_type = RTM_NEWLINK;
  message->nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK;
  add_attribute(message, IFLA_IFNAME, "outside0", 9);
  rtattr* info = add_attribute(message, IFLA_LINKINFO, nullptr, 0);
  add_attribute(message, IFLA_INFO_KIND, "veth", 5);
  rtattr* data = add_attribute(message, IFLA_INFO_DATA, nullptr, 0);
  rtattr* peer = add_attribute(message, VETH_INFO_PEER, nullptr, 0);
  const ifinfomsg peer_info{};
  message->nlmsg_len += sizeof peer_info; // the peer's ifinfomsg, all zero
  add_attribute(message, IFLA_IFNAME, "outside1", 9);
  end_nest(message, peer);
  end_nest(message, data);
  end_nest(message, info);
  const int link = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (link < 0)
    return false;
  alignas(nlmsghdr) char reply[1024];
  const bool ok = ::send(link, buffer, message->nlmsg_len, 0) ==
                      static_cast<ssize_t>(message->nlmsg_len) &&
                  ::recv(link, reply, sizeof reply, 0) >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) &&
                  reinterpret_cast<nlmsghdr*>(reply)->nlmsg_type == NLMSG_ERROR &&
                  // A test's second outsider finds the pair already made.
                  (static_cast<nlmsgerr*>(NLMSG_DATA(reinterpret_cast<nlmsghdr*>(reply)))->error == 0 ||
                   static_cast<nlmsgerr*>(NLMSG_DATA(reinterpret_cast<nlmsghdr*>(reply)))->error == -EEXIST);
  ::close(link);
  return ok;
}

} // namespace

Outsider::Outsider() {
  if (isolation_problem != nullptr)
    return; // never a device in the machine's own network
  const int tun = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (tun < 0) {
    by_veth();
    return;
  }
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strcpy(ifr.ifr_name, "outside0");
  const bool ok = sock >= 0 && ::ioctl(tun, TUNSETIFF, &ifr) == 0 && bring_up_outside(sock, "outside0");
  if (sock >= 0)
    ::close(sock);
  if (ok)
    fd_ = tun;
  else
    ::close(tun);
}

bool Outsider::by_veth() {
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq in{};
  std::strcpy(in.ifr_name, "outside0");
  const unsigned peer = make_veth_pair() ? ::if_nametoindex("outside1") : 0;
  const bool ok = sock >= 0 && peer != 0 && bring_up_outside(sock, "outside0") &&
                  bring_up_outside(sock, "outside1") && ::ioctl(sock, SIOCGIFHWADDR, &in) == 0;
  if (sock >= 0)
    ::close(sock);
  const int frames = ok ? ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0) : -1;
  if (frames < 0)
    return false;
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_protocol = htons(ETH_P_IP);
  to.sll_ifindex = static_cast<int>(peer);
  static_assert(sizeof to <= sizeof to_);
  std::memcpy(to_, &to, sizeof to);
  std::memcpy(ethernet_header_, in.ifr_hwaddr.sa_data, 6); // to outside0; from no one
  ethernet_header_[12] = 0x08;                             // IPv4
  ethernet_ = true;
  fd_ = frames;
  return true;
}

Outsider::~Outsider() {
  if (fd_ >= 0)
    ::close(fd_);
}

void Outsider::send(const std::string& datagram) {
  // An IPv4 header, a UDP header without checksum, the datagram; on a
  // veth end, in an Ethernet frame.
  const std::size_t link = ethernet_ ? sizeof ethernet_header_ : 0;
  std::vector<unsigned char> packet(link + 28 + datagram.size());
  const std::size_t total = packet.size() - link, udp = 8 + datagram.size();
  const unsigned char header[28] = {
      0x45, 0, static_cast<unsigned char>(total >> 8), static_cast<unsigned char>(total), 0, 1,
      0x40, 0, 64, 17, 0, 0, 127, 0, 0, 2, 127, 0, 0, 1,
      0x0f, 0xa0, 0x22, 0xb5, static_cast<unsigned char>(udp >> 8), static_cast<unsigned char>(udp),
      0, 0};
  std::copy(ethernet_header_, ethernet_header_ + link, packet.begin());
  std::copy(std::begin(header), std::end(header), packet.begin() + static_cast<long>(link));
  const std::uint16_t sum = ip_checksum(packet.data() + link, 20);
  packet[link + 10] = static_cast<unsigned char>(sum >> 8);
  packet[link + 11] = static_cast<unsigned char>(sum);
  std::copy(datagram.begin(), datagram.end(), packet.begin() + static_cast<long>(link + 28));
  const ssize_t sent =
      ethernet_ ? ::sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(to_),
                           sizeof(sockaddr_ll))
                : ::write(fd_, packet.data(), packet.size());
  if (sent < 0) {
    // a datagram that cannot go out is simply not seen
  }
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
