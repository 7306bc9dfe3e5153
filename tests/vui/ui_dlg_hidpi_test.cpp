// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual user interface on a display of twice the density
// (QT_SCALE_FACTOR=2): the window keeps its layout size, so it is as large
// to the eye as on a plain display, and the canvases, whose arrays have one
// pixel per device pixel, get every dot and LED twice as large.
#include <gtest/gtest.h>

#include <QPixmap>

#include "canvas/bitmap_rect.h"
#include "link/ftdi_device.h"
#include "sim/simulated_guider.h"
#include "tests/app/scripted_dialogs.h"
#include "vui/ui_dlg.h"

namespace ktal {
namespace {

TEST(UiDlgHighDensityTest, DotsAndLedsScaleWithTheDisplay) {
  sim::SimulatedGuider sim;
  sim.features().panel.fixedScreen = sim::ScreenFrame{0x01};  // the top-left dot
  sim.features().panel.fixedLeds = 0x01;                      // blue
  g_device.AttachDriver(&sim.driver(), &sim.clock());
  {
    testing::ScriptedDialogs dialogs;
    CUIDlg window(dialogs);
    window.m_pDevice = &g_device;
    window.show();
    auto* screen = window.findChild<CBitmapRect*>("control1029");
    auto* leds = window.findChild<CBitmapRect*>("control1048");
    ASSERT_EQ(screen->grab().devicePixelRatio(), 2.0) << "run with QT_SCALE_FACTOR=2";
    leds->grab();
    ASSERT_EQ(screen->Width(), 2 * screen->width());
    ASSERT_EQ(screen->Height(), 2 * screen->height());

    window.OnScreenTimer();  // handshake
    window.OnScreenTimer();
    window.OnScreenTimer();
    window.OnLedTimer();

    // The 768 x 384 screen centred in the canvas; the lit dot is a 4 x 4
    // bright square with a 2-pixel darker edge right and below.
    const int x0 = (screen->Width() - 768) / 2;
    const int y0 = (screen->Height() - 384) / 2;
    for (int dy = 0; dy < 6; ++dy) {
      for (int dx = 0; dx < 6; ++dx) {
        const std::uint32_t want = dx < 4 && dy < 4 ? 0xC86401 : 0xA85601;
        EXPECT_EQ(screen->PixelAt(x0 + dx, y0 + dy), want) << dx << ", " << dy;
        EXPECT_EQ(screen->PixelAt(x0 + 6 + dx, y0 + dy), 0x130701u) << "the dark dot beside";
      }
    }
    EXPECT_EQ(screen->PixelAt(x0 - 1, y0), 0u);
    EXPECT_EQ(screen->PixelAt(x0 + 767, y0 + 383), 0x130701u);
    EXPECT_EQ(screen->PixelAt(x0 + 768, y0 + 383), 0u);

    // The blue LED, 12 x 12 round (W x 0.25 - 6, H x 0.2 - 6).
    const int lx = static_cast<int>(leds->Width() * 0.25 - 6);
    const int ly = static_cast<int>(leds->Height() * 0.2 - 6);
    EXPECT_EQ(leds->PixelAt(lx, ly), 0x0000FFu);
    EXPECT_EQ(leds->PixelAt(lx + 11, ly + 11), 0x0000FFu);
    EXPECT_EQ(leds->PixelAt(lx + 12, ly + 12), 0u);
  }
  g_device.Close();
  g_device.AttachDriver(nullptr, nullptr);
}

}  // namespace
}  // namespace ktal
