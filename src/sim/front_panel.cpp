// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/front_panel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "sim/panel_font.h"

namespace ktal::sim {

namespace {

constexpr std::uint8_t kEsc = 0x00;
constexpr std::uint8_t kSet = 0x01;
constexpr std::uint8_t kLeft = 0x02;
constexpr std::uint8_t kRight = 0x03;
constexpr std::uint8_t kUp = 0x04;
constexpr std::uint8_t kDown = 0x05;
constexpr std::uint8_t kLongEsc = 0x06;
constexpr std::uint8_t kReleased = 0x80;
constexpr std::uint16_t kReleaseVersion = 0x0210;

// A hold left for longer than this is not caught up key by key: the PC
// lost the release, and the menu would only spin.
constexpr int kMostRepeatsAtOnce = 64;

constexpr const char* kMenuItems[] = {"START GUIDING", "SETTINGS", "INFORMATION", "SWITCH OFF"};
constexpr int kMenuCount = 4;

struct Setting {
  const char* name;
  std::vector<const char*> values;
};

const std::array<Setting, 4>& Settings() {
  static const std::array<Setting, 4> settings = {{
      {"EXPOSURE", {"0.1S", "0.2S", "0.5S", "1.0S", "2.0S", "4.0S"}},
      {"AGGRESSION", {"10%", "20%", "30%", "40%", "50%", "60%", "70%", "80%", "90%", "100%"}},
      {"MIN MOVE",
       {"0.05PX", "0.10PX", "0.15PX", "0.20PX", "0.25PX", "0.30PX", "0.35PX", "0.40PX", "0.45PX",
        "0.50PX"}},
      {"CONTRAST",
       {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15"}},
  }};
  return settings;
}

constexpr double kExposureSeconds[] = {0.1, 0.2, 0.5, 1.0, 2.0, 4.0};
constexpr double kArcsecPerPixel = 1.6;

bool Repeats(std::uint8_t code) { return code >= kLeft && code <= kDown; }

// A fixed noise in -1..1 for each frame, so that a night replays the same.
double Noise(std::int64_t index, std::uint64_t salt) {
  std::uint64_t z = static_cast<std::uint64_t>(index) * 0x9E3779B97F4A7C15ull + salt;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) / static_cast<double>(1ull << 53) * 2.0 - 1.0;
}

std::string Signed(double value, const char* format) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

// ---- PanelPicture ----

bool PanelPicture::Dot(int x, int y) const {
  if (x < 0 || y < 0 || x >= kPanelColumns || y >= kPanelRows) return false;
  return (frame_[static_cast<std::size_t>(y / 8 * kPanelBandBytes + x)] >> (y % 8)) & 1;
}

void PanelPicture::SetDot(int x, int y, bool lit) {
  if (x < 0 || y < 0 || x >= kPanelColumns || y >= kPanelRows) return;
  std::uint8_t& byte = frame_[static_cast<std::size_t>(y / 8 * kPanelBandBytes + x)];
  const auto bit = static_cast<std::uint8_t>(1u << (y % 8));
  byte = lit ? static_cast<std::uint8_t>(byte | bit) : static_cast<std::uint8_t>(byte & ~bit);
}

void PanelPicture::Fill(int x, int y, int width, int height, bool lit) {
  for (int row = y; row < y + height; ++row) {
    for (int col = x; col < x + width; ++col) SetDot(col, row, lit);
  }
}

void PanelPicture::Invert(int x, int y, int width, int height) {
  for (int row = y; row < y + height; ++row) {
    for (int col = x; col < x + width; ++col) SetDot(col, row, !Dot(col, row));
  }
}

int PanelPicture::Text(int x, int y, std::string_view text, int scale) {
  for (const char c : text) {
    const Glyph& glyph = GlyphFor(c);
    for (int row = 0; row < kGlyphHeight; ++row) {
      for (int col = 0; col < kGlyphWidth; ++col) {
        if ((glyph[static_cast<std::size_t>(row)] >> (kGlyphWidth - 1 - col)) & 1) {
          Fill(x + col * scale, y + row * scale, scale, scale, true);
        }
      }
    }
    x += kCellWidth * scale;
  }
  return x;
}

// ---- FrontPanel: keys ----

void FrontPanel::Reset() {
  page_ = Page::kMain;
  cursor_ = 0;
  setting_ = 0;
  held_.reset();
}

void FrontPanel::CatchUp(std::int64_t now) {
  if (!held_) return;
  Held& held = *held_;
  if (Repeats(held.code)) {
    for (int n = 0; n < kMostRepeatsAtOnce && held.nextRepeat <= now; ++n) {
      Act(held.code, held.nextRepeat);
      held.nextRepeat += kRepeatMicros;
    }
    // Whatever was not caught up is dropped: the next repeat is due later.
    if (held.nextRepeat <= now) held.nextRepeat = now + kRepeatMicros;
  } else if (held.code == kEsc && !held.longEscDone && now - held.since >= kLongEscMicros) {
    held.longEscDone = true;
    Act(kLongEsc, held.since + kLongEscMicros);
  }
}

bool FrontPanel::OnKey(std::uint8_t code, std::int64_t now, std::uint16_t firmwareVersion) {
  keys_.push_back(code);
  const bool releases = firmwareVersion >= kReleaseVersion;
  CatchUp(now);
  if (code & kReleased) {
    // Firmware before 2.10 knows no release codes.
    if (releases && held_ && held_->code == (code & ~kReleased)) held_.reset();
    return false;
  }
  if (code > kLongEsc) return false;
  // A press of another key means the one held before was let go.
  held_.reset();
  const bool switchOff = Act(code, now);
  if (releases && code != kLongEsc && !switchOff) {
    held_ = Held{code, now, now + kRepeatDelayMicros, false};
  }
  return switchOff;
}

bool FrontPanel::Act(std::uint8_t code, std::int64_t now) {
  const bool back = code == kEsc || code == kLongEsc;
  switch (page_) {
    case Page::kMain:
      if (code == kUp) cursor_ = (cursor_ + kMenuCount - 1) % kMenuCount;
      if (code == kDown) cursor_ = (cursor_ + 1) % kMenuCount;
      if (code == kSet) {
        switch (cursor_) {
          case 0:
            page_ = Page::kGuiding;
            guideStart_ = now;
            break;
          case 1:
            page_ = Page::kSettings;
            setting_ = 0;
            break;
          case 2:
            page_ = Page::kInformation;
            break;
          default:
            page_ = Page::kSwitchingOff;
            held_.reset();
            return true;
        }
      }
      break;
    case Page::kGuiding:
      if (code == kEsc) page_ = Page::kStopGuiding;
      if (code == kLongEsc) page_ = Page::kMain;
      if (code == kUp || code == kDown) graphDec_ = !graphDec_;
      break;
    case Page::kStopGuiding:
      if (code == kSet || code == kLongEsc) page_ = Page::kMain;
      if (code == kEsc) page_ = Page::kGuiding;
      break;
    case Page::kSettings: {
      const int count = static_cast<int>(Settings().size());
      if (code == kUp) setting_ = (setting_ + count - 1) % count;
      if (code == kDown) setting_ = (setting_ + 1) % count;
      const int values =
          static_cast<int>(Settings()[static_cast<std::size_t>(setting_)].values.size());
      int& value = settings_[static_cast<std::size_t>(setting_)];
      if (code == kLeft) value = std::max(value - 1, 0);
      if (code == kRight) value = std::min(value + 1, values - 1);
      if (back || code == kSet) page_ = Page::kMain;
      break;
    }
    case Page::kInformation:
      if (back || code == kSet) page_ = Page::kMain;
      break;
    case Page::kSwitchingOff:
      break;
  }
  return false;
}

// ---- FrontPanel: guiding ----

std::int64_t FrontPanel::FrameMicros() const {
  return static_cast<std::int64_t>(kExposureSeconds[settings_[0]] * 1e6);
}

FrontPanel::Frame FrontPanel::GuideFrame(std::int64_t index) const {
  constexpr double kTwoPi = 6.283185307179586;
  Frame frame;
  frame.ra = 0.32 * std::sin(kTwoPi * static_cast<double>(index) / 40.0) + 0.15 * Noise(index, 1);
  frame.dec =
      0.12 * std::sin(kTwoPi * static_cast<double>(index) / 67.0 + 1.3) + 0.09 * Noise(index, 2);
  const double aggression = (settings_[1] + 1) * 0.1;
  const double minMove = (settings_[2] + 1) * 0.05 * kArcsecPerPixel;
  const auto pulse = [&](double error) {
    if (std::fabs(error) < minMove) return 0;
    return static_cast<int>(std::lround(error * aggression * 250.0));
  };
  frame.raMs = pulse(frame.ra);
  frame.decMs = pulse(frame.dec);
  return frame;
}

std::uint8_t FrontPanel::Leds(std::int64_t now) {
  CatchUp(now);
  if (fixedLeds) return *fixedLeds;
  if (page_ == Page::kSwitchingOff) return 0;
  std::uint8_t leds = kLedGreen;
  if (!Guiding()) return leds;
  const std::int64_t period = FrameMicros();
  const std::int64_t since = std::max<std::int64_t>(now - guideStart_, 0);
  const std::int64_t inFrame = since % period;
  const Frame frame = GuideFrame(since / period);
  if (inFrame < std::min<std::int64_t>(200'000, period / 2)) leds |= kLedBlue;
  // A correction pulse lights its direction for as long as it lasts, but
  // goes dark before the next frame so that each one is seen.
  const auto lit = [&](int ms) {
    return ms != 0 && inFrame < std::min<std::int64_t>(std::abs(ms) * 1000LL, period * 4 / 5);
  };
  if (lit(frame.raMs)) leds |= frame.raMs > 0 ? kLedRedRight : kLedRedLeft;
  if (lit(frame.decMs)) leds |= frame.decMs > 0 ? kLedRedUp : kLedRedDown;
  return leds;
}

// ---- FrontPanel: drawing ----

const ScreenFrame& FrontPanel::Screen(std::int64_t now, std::uint16_t firmwareVersion) {
  CatchUp(now);
  if (fixedScreen) return *fixedScreen;
  Draw(now, firmwareVersion);
  return picture_.frame();
}

void FrontPanel::Draw(std::int64_t now, std::uint16_t firmwareVersion) {
  picture_.Clear();
  switch (page_) {
    case Page::kMain:
      DrawMain();
      break;
    case Page::kGuiding:
      DrawGuiding(now);
      break;
    case Page::kStopGuiding:
      DrawStopGuiding();
      break;
    case Page::kSettings:
      DrawSettings();
      break;
    case Page::kInformation:
      DrawInformation(firmwareVersion);
      break;
    case Page::kSwitchingOff:
      picture_.Text(16, 28, "SWITCHING OFF...");
      break;
  }
}

void FrontPanel::TitleBar(std::string_view title, std::string_view right) {
  picture_.Text(2, 1, title);
  if (!right.empty()) {
    picture_.Text(kPanelColumns - 1 - kCellWidth * static_cast<int>(right.size()), 1, right);
  }
  picture_.Invert(0, 0, kPanelColumns, 9);
}

void FrontPanel::DrawMain() {
  TitleBar("K-TAL", "MAIN MENU");
  for (int i = 0; i < kMenuCount; ++i) {
    const int y = 12 + 10 * i;
    picture_.Text(6, y, kMenuItems[i]);
    if (i == cursor_) picture_.Invert(0, y - 1, kPanelColumns, 9);
  }
  picture_.Text(0, 56, std::string{kArrowUp, kArrowDown} + " MOVE   SET OPEN");
}

void FrontPanel::DrawGuiding(std::int64_t now) {
  const std::int64_t period = FrameMicros();
  const std::int64_t since = std::max<std::int64_t>(now - guideStart_, 0);
  const std::int64_t index = since / period;
  const Frame frame = GuideFrame(index);

  char clock[16];
  const std::int64_t seconds = since / 1'000'000;
  std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", static_cast<int>(seconds / 3600 % 100),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  TitleBar("GUIDING", clock);

  picture_.Text(0, 15, "RA");
  picture_.Text(20, 11, Signed(frame.ra, "%+.2f"), 2);
  picture_.Text(0, 33, "DEC");
  picture_.Text(20, 29, Signed(frame.dec, "%+.2f"), 2);

  char line[16];
  picture_.Text(86, 11, "FRAME");
  std::snprintf(line, sizeof line, "%d", static_cast<int>(index % 100000));
  picture_.Text(86, 20, line);
  std::snprintf(line, sizeof line, "R%+d", frame.raMs);
  picture_.Text(86, 29, line);
  std::snprintf(line, sizeof line, "D%+d", frame.decMs);
  picture_.Text(86, 38, line);

  // The last frames' error, newest on the right, 0.5" to 6 dots.
  constexpr int kGraphLeft = 20;
  constexpr int kZeroRow = 56;
  picture_.Text(0, 52, graphDec_ ? "DE" : "RA");
  for (int x = kGraphLeft; x < kPanelColumns; x += 4) picture_.SetDot(x, kZeroRow, true);
  for (int x = kGraphLeft; x < kPanelColumns; ++x) {
    const std::int64_t n = index - (kPanelColumns - 1 - x);
    if (n < 0) continue;
    const Frame past = GuideFrame(n);
    const double error = graphDec_ ? past.dec : past.ra;
    const int y =
        std::clamp(kZeroRow - static_cast<int>(std::lround(error * 12.0)), 47, kPanelRows - 1);
    picture_.SetDot(x, y, true);
  }
}

void FrontPanel::DrawStopGuiding() {
  TitleBar("STOP GUIDING?");
  picture_.Text(6, 22, "SET  YES, STOP");
  picture_.Text(6, 34, "ESC  NO, GO ON");
}

void FrontPanel::DrawSettings() {
  TitleBar("SETTINGS");
  const auto& settings = Settings();
  for (int i = 0; i < static_cast<int>(settings.size()); ++i) {
    const int y = 12 + 10 * i;
    const Setting& setting = settings[static_cast<std::size_t>(i)];
    const std::string_view value =
        setting.values[static_cast<std::size_t>(settings_[static_cast<std::size_t>(i)])];
    picture_.Text(1, y, setting.name);
    picture_.Text(kPanelColumns - 1 - kCellWidth * static_cast<int>(value.size()), y, value);
    if (i == setting_) picture_.Invert(0, y - 1, kPanelColumns, 9);
  }
  picture_.Text(0, 56, std::string{kArrowUp, kArrowDown} + " SELECT  <> CHANGE");
}

void FrontPanel::DrawInformation(std::uint16_t firmwareVersion) {
  TitleBar("INFORMATION");
  char version[24];
  std::snprintf(version, sizeof version, "FIRMWARE  V%X.%02X", firmwareVersion >> 8,
                firmwareVersion & 0xFF);
  picture_.Text(0, 11, "K-TAL STANDALONE");
  picture_.Text(0, 19, "AUTOGUIDER");
  picture_.Text(0, 27, "(SIMULATED)");
  picture_.Text(0, 37, version);
  picture_.Text(0, 45,
                firmwareVersion >= kReleaseVersion ? "KEYS PRESS+RELEASE" : "KEYS PRESS ONLY");
  picture_.Text(0, 56, "ESC BACK");
}

}  // namespace ktal::sim
