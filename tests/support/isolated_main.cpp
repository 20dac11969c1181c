// gtest main for every test binary. Before any test runs, a root process unshares its mount
// namespace and mounts fresh tmpfs over /var/log and an overlay with a tmpfs upper layer over
// /etc, then creates /var/log/tolma and /etc/tolma inside them, and a fresh tmpfs on /run/snl (the
// directory of snlctl's board lock). It also enters a network
// namespace of its own with only a loopback interface, so tests may listen on fixed ports (the
// log server's 14110) while other tests run in parallel. Nothing reaches the real system, and
// children started by a test (tools under test) inherit the same private view.
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/TestIsolation.h"

namespace snltest {
namespace {
bool g_isolated = false;

// A fresh network namespace has its loopback interface down.
bool BringLoopbackUp() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  close(fd);
  return ok;
}

bool Isolate() {
  if (geteuid() != 0) return false;
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return false;
  if (!BringLoopbackUp()) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount("tmpfs", "/var/log", "tmpfs", 0, "mode=0755") != 0) return false;
  if (mkdir("/var/log/tolma", 0755) != 0) return false;
  // The overlay's upper and work layers live in the fresh /var/log tmpfs, out of the log tree.
  if (mkdir("/var/log/.etc-upper", 0755) != 0 || mkdir("/var/log/.etc-work", 0755) != 0)
    return false;
  if (mount("overlay", "/etc", "overlay", 0,
            "lowerdir=/etc,upperdir=/var/log/.etc-upper,workdir=/var/log/.etc-work") != 0)
    return false;
  struct stat st;
  if (stat("/etc/tolma", &st) == 0) {
    // The host has its own /etc/tolma: hide it behind an empty tmpfs.
    if (mount("tmpfs", "/etc/tolma", "tmpfs", 0, "mode=0755") != 0) return false;
  } else if (mkdir("/etc/tolma", 0755) != 0) {
    return false;
  }
  // The board lock of snlctl: tests running snlctl at the same time must not wait for each other.
  if (mkdir("/run/snl", 0755) != 0 && errno != EEXIST) return false;
  if (mount("tmpfs", "/run/snl", "tmpfs", 0, "mode=0755") != 0) return false;
  return true;
}
}  // namespace

bool Isolated() { return g_isolated; }
}  // namespace snltest

int main(int argc, char** argv) {
  testing::InitGoogleMock(&argc, argv);
  if (!testing::GTEST_FLAG(list_tests)) {
    snltest::g_isolated = snltest::Isolate();
    if (!snltest::g_isolated && geteuid() == 0)
      fprintf(stderr, "warning: could not isolate /var/log and /etc: %s\n", strerror(errno));
  }
  return RUN_ALL_TESTS();
}
