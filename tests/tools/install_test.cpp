// The installed library as an application sees it: a temporary prefix, a C and a C++ application
// built with pkg-config and with find_package(snl), each run against it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "RunTool.h"
#include "support/TestIsolation.h"

namespace {

TEST(Install, ConsumersBuildAndRunAgainstATemporaryPrefix) {
  SNL_REQUIRE_ISOLATION();  // the applications load libsnl, which logs under /var/log/tolma
  if (SNL_SANITIZED)
    GTEST_SKIP() << "a sanitizer build's library needs the sanitizer runtime in the application";
  snltest::TempDir work;
  const std::string cmd = std::string("CC='") + SNL_C_COMPILER + "' CXX='" + SNL_CXX_COMPILER +
                          "' CONSUMER_FLAGS='" + SNL_CONSUMER_FLAGS + "' CONSUMER_TOOLCHAIN='" +
                          SNL_TOOLCHAIN + "' CONSUMER_CMAKE_ARGS='" + SNL_CONSUMER_CMAKE_ARGS +
                          "' CONSUMER_PKG_CONFIG_LIBDIR='" +
                          SNL_CONSUMER_PKG_CONFIG_LIBDIR + "' SNLSIM='" + SNLSIM_PATH + "' bash " +
                          SNL_TOOLS_TEST_DIR + "/install_consumers.sh " + SNL_BUILD_DIR + " " +
                          work.path + "/w";
  EXPECT_EQ(0, std::system(cmd.c_str())) << cmd;
}

}  // namespace
