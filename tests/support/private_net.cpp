#include "private_net.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

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

bool mount_private_tmp() {
  // Nothing mounted here may reach the namespace it came from.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return false;
  std::error_code error;
  const std::string tmp = std::filesystem::temp_directory_path(error).string();
  return !error && ::mount("tmpfs", tmp.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
}

} // namespace

const char* enter_private_network(bool private_tmp) {
  const int flags = CLONE_NEWNET | (private_tmp ? CLONE_NEWNS : 0);
  if ((::geteuid() != 0 || ::unshare(flags) != 0) && !enter_user_namespace(flags))
    return "no network namespace can be made here";
  if (!bring_up_loopback())
    return "the private network's loopback cannot be brought up";
  if (private_tmp && !mount_private_tmp())
    return "no private temporary directory can be mounted";
  return nullptr;
}
