// SPDX-License-Identifier: GPL-3.0-or-later
// The screen, LED and key requests against a guider in normal mode, one
// table per request. Every row starts a fresh guider, injects its
// fault and checks the bytes each way, the waits, the time taken and the
// result.
#include "tests/vui/vui_protocol_cases.h"

#include <functional>

#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "vui/vui_protocol.h"

namespace ktal::testing {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Waits = std::vector<std::uint32_t>;
using Fault = std::function<void(GuiderRig&)>;

Bytes Join(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// A screen whose every byte tells its place, so that a band from the wrong
// address shows.
sim::ScreenFrame NumberedScreen() {
  sim::ScreenFrame screen{};
  for (std::size_t i = 0; i < screen.size(); ++i) {
    screen[i] = static_cast<std::uint8_t>(i * 3 + i / 128);
  }
  return screen;
}

Bytes BandOf(const sim::ScreenFrame& screen, int band) {
  return Bytes(screen.begin() + band * kBandBytes, screen.begin() + (band + 1) * kBandBytes);
}

}  // namespace

void VuiProtocolTest::StartPolling(std::uint16_t version) {
  sim::HandControllerConfig config;
  config.firmwareVersion = version;
  StartRig(config);
  ASSERT_EQ(EnterDeviceMode(kNormalMode), 0) << g_protocolMessage;
  ConfigureScreenPollLink(g_device);
  guider().clear_traces();
  rig_->clock().clear_waits();
}

TEST_P(VuiProtocolTest, ReadScreenBand) {
  struct BandCase {
    const char* name;
    int band;
    Fault fault;
    int result;
    Bytes received;
    // What the guider sent; empty with `band` set: the echo and the band.
    Bytes sent;
    // The 10 ms queue checks. A band takes 5 ms on the line: the simulated
    // driver finds it incomplete at the first check, libftdi reads on while
    // it streams in, so a whole band comes after one wait at most.
    int minWaits;
    int maxWaits;
    // Virtual time the request took, at least and at most; -1: not checked.
    int minMs;
    int maxMs;
  };
  const Bytes kWhole;
  const BandCase cases[] = {
      {"band 0", 0, nullptr, kVuiOk, {0x5D, 0x0D, 0x00, 0x00, 0x80}, kWhole, 0, 1, 5, 20},
      {"band 5", 5, nullptr, kVuiOk, {0x5D, 0x0D, 0x80, 0x02, 0x80}, kWhole, 0, 1, 5, 20},
      {"band 7", 7, nullptr, kVuiOk, {0x5D, 0x0D, 0x80, 0x03, 0x80}, kWhole, 0, 1, 5, 20},
      // Nothing more is sent once the echo is missing or wrong.
      {"no echo",
       2,
       [](GuiderRig& r) { r.guider().SetSilent(true); },
       kVuiTimedOut,
       {0x5D},
       {},
       0,
       0,
       500,
       503},
      {"wrong echo",
       2,
       [](GuiderRig& r) { r.guider().ReplaceSentByte(1, 0x42); },
       kVuiWrongEcho,
       {0x5D},
       {0x42},
       0,
       0,
       0,
       3},
      // The queue never fills: 52 checks, then the read runs into its
      // 500 ms time-out with what came.
      {"band cut short",
       3,
       [](GuiderRig& r) { r.guider().ReplaceNextAnswer(0x5D, Bytes(60, 0x11)); },
       kVuiTimedOut,
       {0x5D, 0x0D, 0x80, 0x01, 0x80},
       Join({0x5D}, Bytes(60, 0x11)),
       52,
       52,
       1020,
       1030},
      {"no band",
       3,
       [](GuiderRig& r) { r.guider().ReplaceNextAnswer(0x5D, {}); },
       kVuiTimedOut,
       {0x5D, 0x0D, 0x80, 0x01, 0x80},
       {0x5D},
       52,
       52,
       1020,
       1030},
      // How much of the answer reached the chip before its reads failed
      // depends on the backend.
      {"reads fail",
       3,
       [](GuiderRig& r) { r.FailReads(); },
       kVuiLinkFailed,
       {0x5D},
       {},
       0,
       0,
       -1,
       -1},
  };
  for (const BandCase& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartPolling());
    const sim::ScreenFrame screen = NumberedScreen();
    panel().fixedScreen = screen;
    if (row.fault) row.fault(*rig_);

    Bytes band(kBandBytes, 0xEE);
    const std::int64_t start = NowMs();
    EXPECT_EQ(ReadScreenBand(g_device, row.band, band.data()), row.result);
    const std::int64_t took = NowMs() - start;
    if (row.minMs >= 0) {
      EXPECT_GE(took, row.minMs);
      EXPECT_LE(took, row.maxMs);
    }
    EXPECT_EQ(received(), row.received);
    if (row.result == kVuiOk) {
      EXPECT_EQ(sent(), Join({0x5D}, BandOf(screen, row.band)));
      EXPECT_EQ(band, BandOf(screen, row.band));
    } else if (row.result != kVuiLinkFailed) {
      EXPECT_EQ(sent(), row.sent);
    }
    const Waits made = waits();
    EXPECT_GE(static_cast<int>(made.size()), row.minWaits);
    EXPECT_LE(static_cast<int>(made.size()), row.maxWaits);
    EXPECT_EQ(made, Waits(made.size(), 10));
    EXPECT_TRUE(g_device.IsOpen()) << "the window decides whether to close";
  }
}

TEST_P(VuiProtocolTest, ReadLeds) {
  struct LedCase {
    const char* name;
    Fault fault;
    int result;
    std::uint8_t leds;
    Bytes received;
    Bytes sent;
  };
  const LedCase cases[] = {
      {"blue and the upper red", nullptr, kVuiOk, 0x05, {0x5D, 0x0A, 0x01}, {0x5D, 0x05}},
      {"all six",
       [](GuiderRig& r) { r.features().panel.fixedLeds = 0x3F; },
       kVuiOk,
       0x3F,
       {0x5D, 0x0A, 0x01},
       {0x5D, 0x3F}},
      {"no echo", [](GuiderRig& r) { r.guider().SetSilent(true); }, kVuiTimedOut, 0, {0x5D}, {}},
      {"wrong echo",
       [](GuiderRig& r) { r.guider().ReplaceSentByte(1, 0x00); },
       kVuiWrongEcho,
       0,
       {0x5D},
       {0x00}},
      {"no LED byte",
       [](GuiderRig& r) { r.features().panel.ledsSupported = false; },
       kVuiNoLedByte,
       0,
       {0x5D, 0x0A, 0x01},
       {0x5D}},
  };
  for (const LedCase& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartPolling());
    panel().fixedLeds = 0x05;
    if (row.fault) row.fault(*rig_);
    std::uint8_t leds = 0;
    EXPECT_EQ(ReadLeds(g_device, &leds), row.result);
    if (row.result == kVuiOk) {
      EXPECT_EQ(leds, row.leds);
    }
    EXPECT_EQ(received(), row.received);
    EXPECT_EQ(sent(), row.sent);
    EXPECT_TRUE(waits().empty());
  }
}

TEST_P(VuiProtocolTest, SendKey) {
  struct KeyCase {
    const char* name;
    std::uint8_t code;
    Fault fault;
    int result;
    Bytes received;
    // Key codes the guider's menu got.
    Bytes keys;
  };
  const KeyCase cases[] = {
      {"Up pressed", kKeyUp, nullptr, 0, {0x5D, 0x01, 0x04}, {0x04}},
      {"Up released", kKeyUp | kKeyReleased, nullptr, 0, {0x5D, 0x01, 0x84}, {0x84}},
      {"long Esc", kKeyLongEsc, nullptr, 0, {0x5D, 0x01, 0x06}, {0x06}},
      // Any answer to the prefix will do.
      {"odd answer to the prefix",
       kKeySet,
       [](GuiderRig& r) { r.guider().ReplaceSentByte(1, 0x00); },
       0,
       {0x5D, 0x01, 0x01},
       {0x01}},
      {"no answer to the prefix",
       kKeySet,
       [](GuiderRig& r) { r.guider().SetSilent(true); },
       -1,
       {0x5D},
       {}},
      {"link closed: nothing to press", kKeySet, [](GuiderRig&) { g_device.Close(); }, 0, {}, {}},
  };
  for (const KeyCase& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartPolling());
    if (row.fault) row.fault(*rig_);
    EXPECT_EQ(SendKey(g_device, row.code), row.result);
    // A write returns once the bytes are with the chip; let them go out.
    rig_->clock().AdvanceBy(5000);
    EXPECT_EQ(received(), row.received);
    EXPECT_EQ(panel().keys(), row.keys);
    EXPECT_TRUE(waits().empty());
  }
}

}  // namespace ktal::testing
