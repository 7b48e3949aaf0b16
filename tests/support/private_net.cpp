#include "private_net.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

bool write_text(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// An unprivileged user may map just their own IDs into the new namespace.
bool enter_user_namespace(int more_flags) {
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  return ::unshare(CLONE_NEWUSER | more_flags) == 0 && write_text("/proc/self/setgroups", "deny") &&
         write_text("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
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
