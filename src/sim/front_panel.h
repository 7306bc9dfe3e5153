// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated hand controller's front panel: its 128 x 64 dot screen, six
// LEDs and keys, with a small menu of its own behind them, so that the
// virtual user interface has something living to mirror.
//
// The menu: a main menu (START GUIDING, SETTINGS, INFORMATION, SWITCH OFF)
// moved through with Up and Down and opened with SET; Esc goes back. The
// guiding page shows the star's RA and DEC error of each guide frame, the
// corrections and a graph of the error that scrolls along (Up and Down
// switch the graph between RA and DEC); while it guides, the blue LED
// flashes at each frame and the red LEDs show the direction of each
// correction (upper and lower red: DEC + and -; left and right red: RA -
// and +). Esc on the guiding page asks before it stops guiding; a long Esc
// stops at once. The green LED is lit while the firmware runs. Settings
// change with Left and Right.
//
// Keys arrive as the PC sends them (see vui_requests.h). Firmware from
// version 2.10 on expects a release code (code + 0x80) after each press: a
// key that stays pressed repeats (the arrows, after 500 ms, every 150 ms)
// and an Esc held for a second is a long Esc. Older firmware acts once per
// press and ignores release codes. Code 0x06 is a long Esc on every version.
//
// Everything follows the guider's virtual time, passed in by the requests;
// nothing is scheduled.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace ktal::sim {

inline constexpr int kPanelColumns = 128;
inline constexpr int kPanelRows = 64;
inline constexpr int kPanelBandBytes = 128;
inline constexpr int kPanelFrameBytes = kPanelBandBytes * kPanelRows / 8;

// The screen as the hand controller keeps it: 8 bands of 128 bytes; byte j
// of band k is column j, its bit b the dot in row 8k + b.
using ScreenFrame = std::array<std::uint8_t, kPanelFrameBytes>;

// LED bits.
enum PanelLed : std::uint8_t {
  kLedBlue = 0x01,
  kLedGreen = 0x02,
  kLedRedUp = 0x04,
  kLedRedDown = 0x08,
  kLedRedLeft = 0x10,
  kLedRedRight = 0x20,
};

// A 128 x 64 picture, drawn into a ScreenFrame.
class PanelPicture {
 public:
  void Clear() { frame_.fill(0); }
  bool Dot(int x, int y) const;
  void SetDot(int x, int y, bool lit);
  void Fill(int x, int y, int width, int height, bool lit);
  // Lit dots become dark and dark ones lit (the highlighted menu line).
  void Invert(int x, int y, int width, int height);
  // Text with its top-left at (x, y), each glyph dot `scale` x `scale`.
  // Returns the x after the last cell.
  int Text(int x, int y, std::string_view text, int scale = 1);
  const ScreenFrame& frame() const { return frame_; }

 private:
  ScreenFrame frame_{};
};

class FrontPanel {
 public:
  enum class Page { kMain, kGuiding, kStopGuiding, kSettings, kInformation, kSwitchingOff };

  // The screen as it is at `nowMicros`.
  const ScreenFrame& Screen(std::int64_t nowMicros, std::uint16_t firmwareVersion);
  // The LED byte at `nowMicros`.
  std::uint8_t Leds(std::int64_t nowMicros);
  // A key code from the PC. Returns true when the user chose to switch the
  // guider off; the caller powers it down.
  bool OnKey(std::uint8_t code, std::int64_t nowMicros, std::uint16_t firmwareVersion);
  // Back to the main menu, nothing held: as after switching on.
  void Reset();

  Page page() const { return page_; }
  int cursor() const { return cursor_; }
  // Every key code received, in order.
  const std::vector<std::uint8_t>& keys() const { return keys_; }

  // ---- For tests ----

  // The screen shows this picture instead of the menu.
  std::optional<ScreenFrame> fixedScreen;
  // The LEDs show this byte instead of the menu's.
  std::optional<std::uint8_t> fixedLeds;
  // A firmware that echoes the LED request but sends no LED byte.
  bool ledsSupported = true;

  static constexpr std::int64_t kRepeatDelayMicros = 500'000;
  static constexpr std::int64_t kRepeatMicros = 150'000;
  static constexpr std::int64_t kLongEscMicros = 1'000'000;

 private:
  struct Held {
    std::uint8_t code;
    std::int64_t since;
    std::int64_t nextRepeat;
    bool longEscDone;
  };
  struct Frame {
    double ra;  // arcseconds
    double dec;
    int raMs;  // correction pulse, signed by direction
    int decMs;
  };

  void CatchUp(std::int64_t nowMicros);
  bool Act(std::uint8_t code, std::int64_t nowMicros);
  void Draw(std::int64_t nowMicros, std::uint16_t firmwareVersion);
  void DrawMain();
  void DrawGuiding(std::int64_t nowMicros);
  void DrawStopGuiding();
  void DrawSettings();
  void DrawInformation(std::uint16_t firmwareVersion);
  void TitleBar(std::string_view title, std::string_view right = {});
  bool Guiding() const { return page_ == Page::kGuiding || page_ == Page::kStopGuiding; }
  std::int64_t FrameMicros() const;
  Frame GuideFrame(std::int64_t index) const;

  Page page_ = Page::kMain;
  int cursor_ = 0;
  int setting_ = 0;
  std::array<int, 4> settings_ = {2, 6, 1, 7};  // indices into each setting's values
  bool graphDec_ = false;
  std::int64_t guideStart_ = 0;
  std::optional<Held> held_;
  std::vector<std::uint8_t> keys_;
  PanelPicture picture_;
};

}  // namespace ktal::sim
