// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated guider's front panel: how its menu takes keys on old and
// new firmware, what the guiding page does with its LEDs, and switching the
// guider off from the menu.
#include "sim/front_panel.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/hand_controller.h"
#include "sim/virtual_clock.h"
#include "sim/vui_requests.h"

namespace ktal::sim {
namespace {

using Page = FrontPanel::Page;

constexpr std::uint8_t kEsc = 0x00, kSet = 0x01, kUp = 0x04, kDown = 0x05, kLongEsc = 0x06;
constexpr std::uint8_t kUp_ = 0x84, kDown_ = 0x85, kSet_ = 0x81, kEsc_ = 0x80;

struct KeyAt {
  std::uint8_t code;
  int ms;
};

TEST(FrontPanelTest, KeysByFirmwareVersion) {
  struct KeyCase {
    const char* name;
    std::uint16_t version;
    std::vector<KeyAt> keys;
    int lookMs;  // when the menu is looked at
    Page page;
    int cursor;
  };
  const KeyCase cases[] = {
      {"2.10: pressed and released, one step",
       0x0210,
       {{kDown, 0}, {kDown_, 100}},
       3000,
       Page::kMain,
       1},
      // Repeats 500 ms after the press, then every 150 ms.
      {"2.10: held, repeats", 0x0210, {{kDown, 0}}, 700, Page::kMain, 3},
      {"2.10: released before the first repeat",
       0x0210,
       {{kDown, 0}, {kDown_, 499}},
       3000,
       Page::kMain,
       1},
      {"2.10: another key ends the hold", 0x0210, {{kDown, 0}, {kUp, 300}}, 700, Page::kMain, 0},
      {"2.10: a press repeated by the PC",
       0x0210,
       {{kDown, 0}, {kDown, 300}, {kDown_, 600}},
       3000,
       Page::kMain,
       2},
      {"2.0F: held, one step", 0x020F, {{kDown, 0}}, 3000, Page::kMain, 1},
      {"2.0F: release codes are ignored",
       0x020F,
       {{kDown, 0}, {kDown_, 100}, {kUp_, 200}},
       3000,
       Page::kMain,
       1},
      {"2.60: Esc while guiding asks first",
       0x0260,
       {{kSet, 0}, {kSet_, 50}, {kEsc, 100}, {kEsc_, 150}},
       3000,
       Page::kStopGuiding,
       0},
      {"2.60: Esc held a second stops guiding",
       0x0260,
       {{kSet, 0}, {kSet_, 50}, {kEsc, 100}},
       1100,
       Page::kMain,
       0},
      {"2.60: ... not before",
       0x0260,
       {{kSet, 0}, {kSet_, 50}, {kEsc, 100}},
       1099,
       Page::kStopGuiding,
       0},
      {"2.0F: Esc held, still asking",
       0x020F,
       {{kSet, 0}, {kEsc, 100}},
       3000,
       Page::kStopGuiding,
       0},
      {"2.0F: the long Esc code stops at once",
       0x020F,
       {{kSet, 0}, {kLongEsc, 100}},
       3000,
       Page::kMain,
       0},
      {"2.60: SET on SETTINGS opens them",
       0x0260,
       {{kDown, 0}, {kDown_, 10}, {kSet, 20}},
       3000,
       Page::kSettings,
       1},
  };
  for (const KeyCase& row : cases) {
    SCOPED_TRACE(row.name);
    FrontPanel panel;
    for (const KeyAt& key : row.keys) panel.OnKey(key.code, key.ms * 1000LL, row.version);
    panel.Screen(row.lookMs * 1000LL, row.version);
    EXPECT_EQ(panel.page(), row.page);
    EXPECT_EQ(panel.cursor(), row.cursor);
  }
}

TEST(FrontPanelTest, LedsWhileGuiding) {
  FrontPanel panel;
  for (int ms = 0; ms < 3000; ms += 10) {
    ASSERT_EQ(panel.Leds(ms * 1000LL), kLedGreen) << "only green before guiding, at " << ms;
  }
  const std::int64_t start = 3'000'000;
  panel.OnKey(kSet, start, 0x0260);

  int blueFlashes = 0;
  bool blueBefore = false;
  std::uint8_t redSeen = 0;
  for (std::int64_t t = start; t < start + 20'000'000; t += 10'000) {
    const std::uint8_t leds = panel.Leds(t);
    ASSERT_TRUE(leds & kLedGreen);
    ASSERT_FALSE((leds & kLedRedUp) && (leds & kLedRedDown)) << "one DEC direction at a time";
    ASSERT_FALSE((leds & kLedRedLeft) && (leds & kLedRedRight)) << "one RA direction at a time";
    const bool blue = leds & kLedBlue;
    if (blue && !blueBefore) ++blueFlashes;
    blueBefore = blue;
    redSeen |= leds & (kLedRedUp | kLedRedDown | kLedRedLeft | kLedRedRight);
  }
  EXPECT_EQ(blueFlashes, 40) << "one flash per 0.5 s frame";
  EXPECT_EQ(redSeen, kLedRedUp | kLedRedDown | kLedRedLeft | kLedRedRight)
      << "corrections in every direction over 20 s";

  panel.OnKey(kLongEsc, start + 20'000'000, 0x0260);
  EXPECT_EQ(panel.Leds(start + 20'100'000), kLedGreen) << "guiding stopped";
}

TEST(FrontPanelTest, SwitchOffFromTheMenuPowersTheGuiderDown) {
  VirtualClock clock;
  HandController guider(clock);
  FrontPanel panel;
  InstallVuiRequests(guider, panel);
  const LineSettings line{250000};
  const auto press = [&](std::uint8_t code) {
    for (const std::uint8_t byte : {std::uint8_t{0x5D}, std::uint8_t{0x01}, code}) {
      guider.ReceiveFromHost(byte, line);
    }
  };
  for (int i = 0; i < 3; ++i) press(kDown);
  press(kSet);
  EXPECT_EQ(panel.page(), Page::kSwitchingOff);
  clock.AdvanceBy(999'000);
  EXPECT_TRUE(guider.powered());
  clock.AdvanceBy(1'000);
  EXPECT_FALSE(guider.powered());
  EXPECT_EQ(panel.page(), Page::kMain) << "as after the next switch-on";
  EXPECT_EQ(panel.cursor(), 0);
}

}  // namespace
}  // namespace ktal::sim
