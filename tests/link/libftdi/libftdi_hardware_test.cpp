// SPDX-License-Identifier: GPL-3.0-or-later
// Checks on a real guider at the end of a USB cable. Without one every case
// skips and says how to run it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/libftdi/libftdi_driver.h"

namespace ktal {
namespace {

constexpr char kHowTo[] =
    "No guider found on USB. To run these checks: install the udev rule "
    "(packaging/udev/README.md), plug in the guider, switch it on, and run "
    "`ctest -L hardware --output-on-failure` in the build directory.";

class RealGuider : public ::testing::Test {
 protected:
  void SetUp() override {
    std::uint32_t count = 0;
    bool found = false;
    if (driver_.CreateDeviceInfoList(&count) == FT_OK && count > 0) {
      std::vector<FtDeviceListInfoNode> nodes(count);
      if (driver_.GetDeviceInfoList(nodes.data(), &count) == FT_OK) {
        for (std::uint32_t i = 0; i < count; ++i) {
          found = found || std::strcmp(nodes[i].Description, kGuiderDescription) == 0;
        }
      }
    }
    if (!found) {
      const std::string& detail = driver_.LastErrorDetail();
      GTEST_SKIP() << kHowTo << (detail.empty() ? "" : "\nUSB says: ") << detail;
    }
    g_device.AttachDriver(&driver_, &SystemClock());
    g_device.deviceKind = kDeviceKindGuider;
  }
  void TearDown() override {
    DisconnectDevice();
    g_device.AttachDriver(nullptr, nullptr);
  }

  LibftdiDriver driver_{SystemClock()};
};

TEST_F(RealGuider, OpensAndReportsItsSerialNumber) {
  ASSERT_EQ(g_device.Open(), 0) << g_device.errorText << "\n" << driver_.LastErrorDetail();
  EXPECT_GT(std::strlen(g_device.QuerySerial()), 0u);
  EXPECT_EQ(g_device.Close(), 0);
}

TEST_F(RealGuider, AnswersTheModeProbe) {
  const int mode = ProbeDeviceMode();
  EXPECT_TRUE(mode == kBootMode || mode == kUpdateMode || mode == kNormalMode)
      << "ProbeDeviceMode returned " << mode << ": " << g_protocolMessage;
}

TEST_F(RealGuider, ReadTimesOutAfterTheReadTimeOut) {
  ASSERT_EQ(g_device.Open(), 0) << g_device.errorText << "\n" << driver_.LastErrorDetail();
  ASSERT_EQ(ConfigureRunningModeLink(), 0) << g_protocolMessage;
  // Nothing was asked, so nothing comes: the read must end near 1000 ms.
  unsigned char bytes[4];
  const std::int64_t start = SystemClock().NowMicros();
  EXPECT_EQ(g_device.Read(bytes, sizeof bytes), 0);
  const std::int64_t tookMs = (SystemClock().NowMicros() - start) / 1000;
  EXPECT_GE(tookMs, 1000);
  EXPECT_LT(tookMs, 1100);
  EXPECT_EQ(g_device.timedOut, 1);
}

}  // namespace
}  // namespace ktal
