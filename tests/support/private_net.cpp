#include "private_net.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool write_text(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

bool others_mapped = false;

// The first range of subordinate IDs that `file` (/etc/subuid, /etc/subgid)
// gives the user `id` called `name`: "start count", or "".
std::string subordinate_range(const char* file, unsigned long id, const std::string& name) {
  std::ifstream lines(file);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string who, start, count;
    if (std::getline(fields, who, ':') && std::getline(fields, start, ':') &&
        std::getline(fields, count) && (who == name || who == std::to_string(id)))
      return start + " " + count;
  }
  return "";
}

// The user's name as /etc/passwd has it (read by hand: a static build
// cannot load the name service).
std::string own_name(uid_t uid) {
  std::ifstream lines("/etc/passwd");
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name, password, id;
    if (std::getline(fields, name, ':') && std::getline(fields, password, ':') &&
        std::getline(fields, id, ':') && id == std::to_string(uid))
      return name;
  }
  return "";
}

// The arguments of newuidmap or newgidmap after the pid: the user's own ID
// stays itself, and every other ID below 65535 (root, nobody, the users the
// tests invent) is a subordinate ID of theirs. Empty where the range is too
// small for all of them.
std::vector<std::string> id_map(unsigned long own, const std::string& range) {
  constexpr unsigned long WANTED = 65535;
  unsigned long start = 0;
  unsigned long count = 0;
  std::istringstream(range) >> start >> count;
  const unsigned long below = own < WANTED ? own : WANTED;
  const unsigned long above = own < WANTED ? WANTED - own - 1 : 0;
  if (count < below + above)
    return {};
  std::vector<std::string> args;
  const auto add = [&args](unsigned long inner, unsigned long outer, unsigned long n) {
    if (n == 0)
      return;
    for (const unsigned long value : {inner, outer, n})
      args.push_back(std::to_string(value));
  };
  add(0, start, below);
  add(own, own, 1);
  add(below + 1, start + below, above);
  return args;
}

// Runs `tool` (newuidmap, newgidmap) on process `pid`; true when it mapped.
bool run_map_tool(const char* tool, pid_t pid, const std::vector<std::string>& map) {
  std::vector<std::string> words{tool, std::to_string(pid)};
  words.insert(words.end(), map.begin(), map.end());
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execvp(tool, argv.data());
    ::_exit(127);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// Maps the user's subordinate IDs into the namespace that process `pid`
// is about to enter, once `go` is readable; exits 0 when both maps took.
[[noreturn]] void map_subordinates(pid_t pid, int go, uid_t uid, gid_t gid) {
  const std::string name = own_name(uid);
  const std::vector<std::string> uids = id_map(uid, subordinate_range("/etc/subuid", uid, name));
  const std::vector<std::string> gids = id_map(gid, subordinate_range("/etc/subgid", uid, name));
  char entered = 0;
  const bool ready = ::read(go, &entered, 1) == 1 && entered == 1;
  ::_exit(ready && !uids.empty() && !gids.empty() && run_map_tool("newuidmap", pid, uids) &&
                  run_map_tool("newgidmap", pid, gids)
              ? 0
              : 1);
}

// An unprivileged user enters a user namespace in which they keep their own
// IDs. Where /etc/subuid and /etc/subgid give them subordinate IDs (and
// newuidmap and newgidmap are installed), those stand for every other user
// below 65535, whom the process may then act as; elsewhere the user's own
// IDs are the only ones mapped.
bool enter_user_namespace(int more_flags) {
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  const pid_t self = ::getpid();
  int go[2];
  if (::pipe2(go, O_CLOEXEC) != 0)
    return false;
  const pid_t mapper = ::fork();
  if (mapper == 0) {
    ::close(go[1]);
    map_subordinates(self, go[0], uid, gid);
  }
  ::close(go[0]);
  const bool entered = ::unshare(CLONE_NEWUSER | more_flags) == 0;
  const char told = entered ? 1 : 0;
  const bool asked = mapper > 0 && ::write(go[1], &told, 1) == 1;
  ::close(go[1]);
  int status = 0;
  // Waited for even when it was not asked: it then ends at once, unmapped.
  others_mapped = mapper > 0 && ::waitpid(mapper, &status, 0) == mapper && asked &&
                  WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!entered)
    return false;
  if (others_mapped)
    return true;
  // Where a map tool wrote the user map but not the group map, only the
  // group map is left to write.
  std::ifstream written("/proc/self/uid_map");
  const bool users_mapped = written.peek() != std::ifstream::traits_type::eof();
  return write_text("/proc/self/setgroups", "deny") &&
         (users_mapped ||
          write_text("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1")) &&
         write_text("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

bool bring_up_loopback() {
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0)
    return false;
  ifreq lo{};
  std::strcpy(lo.ifr_name, "lo");
  bool ok = ::ioctl(sock, SIOCGIFFLAGS, &lo) == 0;
  lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
  ok = ok && ::ioctl(sock, SIOCSIFFLAGS, &lo) == 0;
  ::close(sock);
  return ok;
}

// A fresh, empty directory in the system's temporary directory, to be the
// mount point of the process's own tmpfs, so that nothing already under
// the temporary directory (a checkout under /tmp, say) is hidden. A
// watcher left in the original mount namespace removes it once the process
// has gone, however it ends. Returns "" when there is none.
std::string private_tmp_point() {
  std::error_code error;
  std::string point = (std::filesystem::temp_directory_path(error) / "ferry-ns-XXXXXX").string();
  int ends[2];
  if (error || ::mkdtemp(point.data()) == nullptr || ::pipe2(ends, O_CLOEXEC) != 0)
    return "";
  const pid_t watcher = ::fork();
  if (watcher == 0) {
    // Out of the test's process group and output, so that neither a
    // Ctrl-C nor a runner waiting on the output is held up by it.
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
      ::dup2(null, fd);
    ::close(ends[1]);
    char ignored;
    while (::read(ends[0], &ignored, 1) != 0 && errno == EINTR) {
    }
    ::rmdir(point.c_str());
    ::_exit(0);
  }
  ::close(ends[0]);
  if (watcher < 0) {
    ::rmdir(point.c_str());
    ::close(ends[1]);
    return "";
  }
  // ends[1] stays open, unseen by programs the process starts, until it ends.
  return point;
}

bool mount_private_tmp(const std::string& point) {
  // Nothing mounted here may reach the namespace it came from.
  return !point.empty() && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tmpfs", point.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0 &&
         ::setenv("TMPDIR", point.c_str(), 1) == 0;
}

} // namespace

const char* enter_private_network(bool private_tmp) {
  // The mount point is made, and its watcher started, from the original
  // mount namespace.
  const std::string point = private_tmp ? private_tmp_point() : "";
  const int flags = CLONE_NEWNET | (private_tmp ? CLONE_NEWNS : 0);
  if ((::geteuid() != 0 || ::unshare(flags) != 0) && !enter_user_namespace(flags))
    return "no network namespace can be made here";
  if (!bring_up_loopback())
    return "the private network's loopback cannot be brought up";
  if (private_tmp && !mount_private_tmp(point))
    return "no private temporary directory can be mounted";
  return nullptr;
}

bool may_act_as_others() {
  return ::geteuid() == 0 || others_mapped;
}
