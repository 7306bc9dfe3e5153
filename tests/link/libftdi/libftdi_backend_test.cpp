// SPDX-License-Identifier: GPL-3.0-or-later
// The libftdi backend on this machine's own USB stack. The build machines
// have no FTDI chip, so these cases check what a user without a guider
// sees; tests/link/usb_emulation runs the same backend against emulated
// chips.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "link/libftdi/libftdi_driver.h"

namespace ktal {
namespace {

// True when a chip with the guider's description is plugged in, in which
// case the "nothing attached" cases cannot hold.
bool GuiderAttached(LibftdiDriver& driver) {
  std::uint32_t count = 0;
  if (driver.CreateDeviceInfoList(&count) != FT_OK || count == 0) return false;
  std::vector<FtDeviceListInfoNode> nodes(count);
  if (driver.GetDeviceInfoList(nodes.data(), &count) != FT_OK) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (std::strcmp(nodes[i].Description, kGuiderDescription) == 0) return true;
  }
  return false;
}

class LibftdiWithoutGuider : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GuiderAttached(driver_)) {
      GTEST_SKIP() << "A guider is attached to this machine; these cases need one without.";
    }
    g_device.Close();
    g_device.AttachDriver(&driver_, &SystemClock());
    g_device.deviceKind = kDeviceKindGuider;
  }
  void TearDown() override {
    g_device.Close();
    g_device.AttachDriver(nullptr, nullptr);
  }

  LibftdiDriver driver_{SystemClock()};
};

TEST_F(LibftdiWithoutGuider, OpenReportsNoProperDevice) {
  EXPECT_NE(g_device.Open(), 0);
  EXPECT_STREQ(g_device.errorText, "No proper USB device found");
  EXPECT_EQ(g_device.errorString, L"No proper USB device found");
  EXPECT_EQ(g_device.handle, nullptr);
}

TEST_F(LibftdiWithoutGuider, HandshakeNamesTheMissingDevice) {
  EXPECT_EQ(EnterDeviceMode(kNormalMode), -1);
  EXPECT_STREQ(g_protocolMessage,
               "Can't open connection to FT232 device\n\n (No proper USB device found)\n");
  EXPECT_FALSE(g_device.IsOpen());
}

TEST(LibftdiDriverCalls, RefusesWhatWasNeverOpened) {
  LibftdiDriver driver(SystemClock());
  std::uint32_t count = 0;
  ASSERT_EQ(driver.CreateDeviceInfoList(&count), FT_OK);

  FtHandle handle = nullptr;
  EXPECT_EQ(driver.Open(static_cast<int>(count), &handle), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(driver.Open(-1, &handle), FT_DEVICE_NOT_FOUND);

  int notAHandle = 0;
  std::uint8_t pins = 0;
  std::uint32_t moved = 0;
  unsigned char byte = 0;
  EXPECT_EQ(driver.Close(&notAHandle), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.GetBitMode(&notAHandle, &pins), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.Read(&notAHandle, &byte, 1, &moved), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.Write(&notAHandle, &byte, 1, &moved), FT_INVALID_HANDLE);
  EXPECT_EQ(driver.SetBaudRate(nullptr, 9600), FT_INVALID_HANDLE);
  EXPECT_FALSE(driver.LastErrorDetail().empty());
}

}  // namespace
}  // namespace ktal
