// SPDX-License-Identifier: GPL-3.0-or-later
// What the link reports when the USB side fails: an unplugged guider, a
// chip that stalls or stops answering, and a device node the user may not
// open. None of it may hang, crash, or pass for success.
#include <gtest/gtest.h>
#include <libusb.h>

#include <cstring>
#include <string>
#include <vector>

#include "emulated_usb_fixture.h"
#include "link/direct_control.h"
#include "link/handshakes.h"

namespace ktal::usbemu {
namespace {

class LibftdiUnplug : public EmulatedUsbTest {
 protected:
  void SetUp() override {
    chip_ = &PlugGuider();
    guider_.PowerOff();
    OpenLink();
  }
  EmulatedFt232r* chip_ = nullptr;
};

TEST_F(LibftdiUnplug, DuringAReadFailsTheReadAtOnce) {
  ASSERT_EQ(ConfigureRunningModeLink(), 0) << g_protocolMessage;
  chip_->UnplugAt(clock_.NowMicros() + 300'000);
  const std::int64_t start = NowMs();
  std::uint8_t buf[5] = {};
  EXPECT_EQ(g_device.Read(buf, 5), 0);
  EXPECT_STREQ(g_device.errorText, "FT_Read failed (code 4 ($4))");
  EXPECT_EQ(g_device.timedOut, 0);
  EXPECT_LE(NowMs() - start, 310);
  EXPECT_NE(driver_->LastErrorDetail().find("unplugged"), std::string::npos)
      << driver_->LastErrorDetail();

  // The link can be closed, and the guider is no longer found.
  EXPECT_EQ(g_device.Close(), 0);
  EXPECT_EQ(g_device.handle, nullptr);
  EXPECT_NE(g_device.Open(), 0);
  EXPECT_STREQ(g_device.errorText, "No proper USB device found");
}

TEST_F(LibftdiUnplug, DuringAWriteFailsTheWrite) {
  ASSERT_EQ(ConfigureBootModeLink(), 0) << g_protocolMessage;
  ASSERT_EQ(g_device.SetTimeouts(1000, 5000), 0);
  chip_->UnplugAt(clock_.NowMicros() + 500'000);
  std::vector<std::uint8_t> data(4096, 0x77);
  EXPECT_EQ(g_device.Write(data.data(), 4096), 0);
  EXPECT_STREQ(g_device.errorText, "FT_Write failed (code 4 ($4))");
  EXPECT_EQ(g_device.timedOut, 0);
}

TEST_F(LibftdiUnplug, HandshakeAfterUnplugFindsNothingAndClosesCleanly) {
  chip_->Unplug();
  EXPECT_EQ(EnterDeviceMode(kNormalMode), -1);
  EXPECT_STREQ(g_protocolMessage, "FT232 error\n (FT_ResetDevice failed (code 4 ($4)))\n");
  EXPECT_FALSE(g_device.IsOpen());
  // Plugged in again: found and opened as new.
  UsbBus::Get().Plug(GuiderChip(&guider_));
  EXPECT_EQ(g_device.Open(), 0) << g_device.errorText;
}

class LibftdiChipFaults : public EmulatedUsbTest {
 protected:
  void SetUp() override {
    chip_ = &PlugGuider();
    guider_.PowerOff();
    OpenLink();
  }
  EmulatedFt232r* chip_ = nullptr;
};

TEST_F(LibftdiChipFaults, StalledControlRequestFailsThatSetting) {
  chip_->StallControl(kReqSetBaudRate);
  EXPECT_EQ(ConfigureBootModeLink(), -1);
  EXPECT_STREQ(g_protocolMessage, "FT232 error\n (FT_SetBaudRate failed (code 4 ($4)))\n");
  EXPECT_FALSE(g_device.IsOpen());
}

TEST_F(LibftdiChipFaults, StalledPinReadFailsOpen) {
  ASSERT_EQ(g_device.Close(), 0);
  chip_->StallControl(kReqReadPins);
  EXPECT_NE(g_device.Open(), 0);
  EXPECT_STREQ(g_device.errorText, "FT_GetBitMode failed (code 4 ($4))");
}

// A healthy chip answers every poll within one latency period; one that
// stops is broken, which is a failure and not a guider that said nothing.
TEST_F(LibftdiChipFaults, SilentBulkEndpointIsAFailureNotATimeOut) {
  ASSERT_EQ(ConfigureRunningModeLink(), 0) << g_protocolMessage;
  chip_->SetInPacketsStopped(true);
  const std::int64_t start = NowMs();
  std::uint8_t buf[1] = {};
  EXPECT_EQ(g_device.Read(buf, 1), 0);
  EXPECT_STREQ(g_device.errorText, "FT_Read failed (code 4 ($4))");
  EXPECT_EQ(g_device.timedOut, 0);
  EXPECT_LE(NowMs() - start, 1100);
}

TEST_F(LibftdiChipFaults, HeldLineIsAWriteTimeOut) {
  ASSERT_EQ(ConfigureRunningModeLink(), 0) << g_protocolMessage;
  chip_->SetOutDrainStopped(true);
  const std::uint8_t probe = 0x00;
  EXPECT_EQ(g_device.Write(&probe, 1), 0);
  EXPECT_STREQ(g_device.errorText, "FT_Write timed out (code 0 ($0))");
  EXPECT_EQ(g_device.timedOut, 1);
}

class LibftdiAccess : public EmulatedUsbTest {};

// Without the udev rule the device node cannot be opened, so not even the
// description can be read: the search finds no guider, and the detail says
// why and what to do.
TEST_F(LibftdiAccess, NoPermissionOnTheNodeNamesTheUdevRule) {
  EmulatedFt232r& chip = PlugGuider();
  chip.DenyOpen(LIBUSB_ERROR_ACCESS);
  AttachLink();
  EXPECT_NE(g_device.Open(), 0);
  // The link's own text carries the hint, so every window shows it.
  EXPECT_EQ(std::string(g_device.errorText),
            "No proper USB device found - " + driver_->LastErrorDetail());
  EXPECT_EQ(g_device.errorString.size(), std::strlen(g_device.errorText));
  const std::string& detail = driver_->LastErrorDetail();
  EXPECT_NE(detail.find("no permission to open the USB device 0403:6001 (bus 1, device 2)"),
            std::string::npos)
      << detail;
  EXPECT_NE(detail.find("packaging/udev/60-ktal-guider.rules"), std::string::npos) << detail;
}

// Power ON and RESET tell a missing guider from one the user may not open,
// so that the launcher can name the udev rule in the second case only.
TEST_F(LibftdiAccess, DirectPulsesSayWhyNoneWentOut) {
  struct Case {
    const char* what;
    bool plugged;
    DirectResult (*pulse)();
    const char* detail;  // in the result's detail; "" for none at all
  };
  const Case cases[] = {
      {"power on, no chip", false, &PowerOnGuider, ""},
      {"reset, no chip", false, &ResetGuider, ""},
      {"power on, no permission", true, &PowerOnGuider, "packaging/udev/60-ktal-guider.rules"},
      {"reset, no permission", true, &ResetGuider, "packaging/udev/60-ktal-guider.rules"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UsbBus::Get().Reset(&time_);
    if (c.plugged) PlugGuider().DenyOpen(LIBUSB_ERROR_ACCESS);
    AttachLink();
    const DirectResult result = c.pulse();
    EXPECT_EQ(result.outcome, DirectOutcome::kNoGuider);
    if (*c.detail == '\0') {
      EXPECT_EQ(result.detail, "");
    } else {
      EXPECT_NE(result.detail.find(c.detail), std::string::npos) << result.detail;
    }
    EXPECT_FALSE(g_device.IsOpen());
  }
}

// Another FTDI chip may be someone's serial port: finding out why its texts
// are missing must not take it from its kernel driver.
TEST_F(LibftdiAccess, UnreadableChipIsLookedAtButNotClaimed) {
  ChipConfig config;
  config.address = 7;
  EmulatedFt232r& chip = UsbBus::Get().Plug(config);
  chip.SetStringsStalled(true);
  AttachLink();
  EXPECT_NE(g_device.Open(), 0);
  EXPECT_EQ(std::string(g_device.errorText).rfind("No proper USB device found - the USB device", 0),
            0u);
  EXPECT_EQ(chip.claim_count(), 0);
  EXPECT_EQ(driver_->LastErrorDetail(),
            "the USB device 0403:6001 (bus 1, device 7) did not give its description "
            "(libftdi code -8)");
}

TEST_F(LibftdiAccess, RefusedClaimFailsOpenWithTheHint) {
  EmulatedFt232r& chip = PlugGuider();
  chip.DenyClaim(LIBUSB_ERROR_ACCESS);
  AttachLink();
  EXPECT_EQ(g_device.Open(), static_cast<int>(FT_DEVICE_NOT_OPENED));
  EXPECT_EQ(std::string(g_device.errorText),
            "FT_Open failed (code 3 ($3)) - " + driver_->LastErrorDetail());
  EXPECT_EQ(g_device.handle, nullptr);
  EXPECT_NE(driver_->LastErrorDetail().find("no permission"), std::string::npos)
      << driver_->LastErrorDetail();
  EXPECT_NE(driver_->LastErrorDetail().find(kUdevRuleHint), std::string::npos);
  EXPECT_TRUE(chip.kernelDriverAttached());
}

TEST_F(LibftdiAccess, ChipHeldByAnotherProgramSaysSo) {
  PlugGuider();
  LibftdiDriver other(clock_);
  std::uint32_t count = 0;
  FtHandle held = nullptr;
  ASSERT_EQ(other.CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(other.Open(0, &held), FT_OK);

  AttachLink();
  EXPECT_EQ(g_device.Open(), static_cast<int>(FT_DEVICE_NOT_OPENED));
  EXPECT_NE(driver_->LastErrorDetail().find("in use by another program"), std::string::npos)
      << driver_->LastErrorDetail();
  EXPECT_EQ(other.Close(held), FT_OK);
  EXPECT_EQ(g_device.Open(), 0) << driver_->LastErrorDetail();
}

TEST_F(LibftdiAccess, UsbThatCannotStartMeansNoDevice) {
  PlugGuider();
  UsbBus::Get().SetInitFails(true);
  AttachLink();
  EXPECT_NE(g_device.Open(), 0);
  EXPECT_EQ(driver_->LastErrorDetail(), "USB could not be started (libusb_init failed)");
  EXPECT_STREQ(g_device.errorText,
               "No proper USB device found - USB could not be started (libusb_init failed)");
}

}  // namespace
}  // namespace ktal::usbemu
