# Sourced by the README's commands and CI: makes sure the Debian packages a
# script needs are there before anything is built. Every need is checked
# first; as root, all that are missing are installed at once (after one
# apt-get update); anyone else is given the one line that installs them.
#   needs TOOLSET...   with TOOLSET one of: programs, tests, checks, vm, package
#   configure PRESET   cmake --preset PRESET, clearing its build folder if
#                      that configure did not complete
# Tools in /usr/sbin and /sbin count for ordinary users too.
export PATH="$PATH:/usr/sbin:/sbin"

have() { command -v "$1" >/dev/null 2>&1; }
have_file() { compgen -G "$1" >/dev/null; }

# The Debian packages that TOOLSET needs and this machine lacks.
missing_for() {
  case "$1" in
  programs)
    have cmake || echo cmake
    have ninja || echo ninja-build
    have g++ || echo g++
    ;;
  tests)
    have_file /usr/include/gtest/gtest.h || echo libgtest-dev
    have pkg-config || echo pkgconf
    have_file /usr/include/editline/readline.h || echo libedit-dev
    have_file /usr/include/acl/libacl.h || echo libacl1-dev
    ;;
  checks)
    have clang++ || echo clang
    have_file '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' || echo libclang-rt-dev
    have clang-tidy || echo clang-tidy
    have cppcheck || echo cppcheck
    have groff || echo groff-base
    have mandoc || echo mandoc
    # The copy into a FAT folder.
    have mkfs.fat || echo dosfstools
    have fusefat || echo fusefat
    ;;
  vm)
    have qemu-system-x86_64 || echo qemu-system-x86
    # ldd fails on a static binary, which is just what is wanted here.
    { [ -x /bin/busybox ] && { LC_ALL=C ldd /bin/busybox 2>&1 || true; } | grep -q 'not a dynamic'; } ||
      echo busybox-static
    have mkfs.ext4 || echo e2fsprogs
    ;;
  package)
    have dpkg-buildpackage || echo dpkg-dev
    have dh || echo debhelper
    have lintian || echo lintian
    have fakeroot || echo fakeroot
    ;;
  esac
}

needs() {
  local missing=() toolset
  for toolset in "$@"; do
    mapfile -t -O "${#missing[@]}" missing < <(missing_for "$toolset")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "${0##*/}: first install what it needs: sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing the Debian packages this needs: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

configure() {
  cmake --preset "$1" >/dev/null && return 0
  # A configure that failed may have cached what it found missing.
  rm -rf "build/$1"
  echo "${0##*/}: configuring build/$1 failed; its folder is cleared for the next try" >&2
  return 1
}
