// The shared test main must give each test process its own empty log and config trees.
#include <sys/stat.h>
#include <sys/vfs.h>

#include <fstream>

#include "LogTestSupport.h"
#include "support/TestIsolation.h"

namespace {

constexpr long kTmpfsMagic = 0x01021994;

TEST(TestIsolation, LogAndConfigTreesAreFreshAndPrivate) {
  SNL_REQUIRE_ISOLATION();
  struct statfs fs;
  ASSERT_EQ(0, statfs("/var/log/tolma", &fs));
  EXPECT_EQ(kTmpfsMagic, static_cast<long>(fs.f_type));
  struct stat st;
  ASSERT_EQ(0, stat("/etc/tolma", &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  // Writes land in the private layers; the rest of /etc stays readable.
  std::ofstream("/etc/tolma/klog.cfg") << "[SNL]\nValue=1\n";
  EXPECT_EQ("[SNL]\nValue=1\n", logtest::ReadFile("/etc/tolma/klog.cfg"));
  EXPECT_EQ(0, access("/etc/passwd", R_OK));
}

}  // namespace
