// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/session_generator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ktal {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kArcsecPerRadian = 206264.80624709636;
constexpr double kPixelPitchXmm = 0.00485;
constexpr double kPixelPitchYmm = 0.00465;

// A small, fully specified generator, so a seed gives the same session with
// every standard library.
class Random {
 public:
  explicit Random(std::uint32_t seed) : state_(0x9E3779B97F4A7C15ull ^ seed) {}

  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  int Below(int n) { return static_cast<int>(Uniform() * n); }
  // Standard normal (Box-Muller).
  double Gauss() {
    const double u1 = 1.0 - Uniform();
    const double u2 = Uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
  }

 private:
  std::uint64_t state_;
};

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) return 29;
  return kDays[(month - 1) % 12];
}

std::int8_t ClampCorrection(double units) {
  const double r = std::round(units);
  return static_cast<std::int8_t>(std::clamp(r, -128.0, 127.0));
}

std::int32_t ClampDrift(double px) {
  const double r = std::round(px * 256.0);
  return static_cast<std::int32_t>(std::clamp(r, -32768.0, 32767.0));
}

class SessionBuilder {
 public:
  explicit SessionBuilder(const SessionOptions& o)
      : o_(o), rng_(o.seed), date_(o.start_date), tenths_(o.start_tenths % kTenthsPerDay) {
    const double arcsec_per_px = kPixelPitchXmm / o.focal_length_mm * kArcsecPerRadian;
    px_per_arcsec_ = 1.0 / arcsec_per_px;
    cos_dec_ = std::cos(o.star_dec_deg / 180.0 * kPi);
    const double angle = o.camera_angle_deg / 180.0 * kPi;
    cos_angle_ = std::cos(angle);
    sin_angle_ = std::sin(angle);
  }

  EntityList Build() {
    OpenRecord(false);
    if (o_.variables) Settings();
    if (o_.position_run_s > 0) PositionRun();
    for (int k = 0; k < o_.exposures; ++k) {
      if (o_.reopen && k == o_.exposures / 2) {
        Marker(1);
        Advance(5.0);
        OpenRecord(true);
      }
      Pause(k);
      AeExposure();
    }
    for (int k = 0; k < o_.external_exposures; ++k) {
      Pause(o_.exposures + k);
      ExternalExposure();
    }
    return std::move(out_);
  }

  std::uint16_t date() const { return date_; }
  std::uint32_t tenths() const { return tenths_; }

 private:
  // Moves the session clock on by `seconds` (in whole tenths).
  void Advance(double seconds) {
    const auto step = static_cast<std::uint32_t>(std::max(1.0, std::round(seconds * 10.0)));
    t_ += step * 0.1;
    tenths_ += step;
    while (tenths_ >= kTenthsPerDay) {
      tenths_ -= kTenthsPerDay;
      date_ = NextDay(date_);
    }
  }

  LogEntity& Emit(std::uint32_t type) {
    LogEntity& e = out_.emplace_back();
    e.type = type;
    e.clock_tenths = tenths_;
    e.clock_date = date_;
    return e;
  }

  void OpenRecord(bool reopened) {
    LogEntity& e = Emit(ENTITY_CLOCK);
    e.clock.is_open = 1;
    e.clock.reopened = reopened ? 1 : 0;
    e.clock.fw_major = o_.fw_major;
    e.clock.fw_minor = o_.fw_minor;
    Advance(0.5);
  }

  void Marker(std::uint8_t value) { Emit(ENTITY_MARKER).marker.value = value; }

  void Variable(std::uint8_t id, std::initializer_list<std::uint8_t> bytes) {
    LogEntity& e = Emit(ENTITY_VARIABLE);
    e.variable.variable_id = id;
    e.variable.length = static_cast<std::uint8_t>(bytes.size());
    int i = 0;
    for (std::uint8_t b : bytes) e.variable.value[i++] = b;
    Advance(0.1);
  }

  void Settings() {
    const int expo_ms = static_cast<int>(o_.frame_interval_s * 500);
    Variable(kVariableGain, {static_cast<std::uint8_t>(4 + rng_.Below(12))});
    Variable(kVariableExpo,
             {static_cast<std::uint8_t>(expo_ms), static_cast<std::uint8_t>(expo_ms >> 8)});
    Variable(kVariableThreshold, {static_cast<std::uint8_t>(20 + rng_.Below(40))});
    const auto aggr = static_cast<std::uint8_t>(std::lround(o_.aggressiveness * 100));
    // num, tolerance (hundredths, whole), aggressiveness, mode.
    Variable(kVariableRaAxis, {0, 3, 25, 0, aggr, 1});
    Variable(kVariableDecAxis, {0, 2, 50, 0, aggr, 2});
  }

  void AeChange(std::uint8_t state, bool foc, bool exp) {
    LogEntity& e = Emit(ENTITY_AE_CHANGE);
    e.ae.ae_state = state;
    e.ae.foc_flag = foc ? 1 : 0;
    e.ae.exp_flag = exp ? 1 : 0;
  }

  void Debug(int which) {
    LogEntity& e = Emit(ENTITY_DEBUG);
    switch (which % 5) {
      case 0: {
        char text[48];
        std::snprintf(text, sizeof text, "cycle %d residual", which);
        e.debug.debug_kind = kDebugText;
        out_.SetDebugText(e, text);
        break;
      }
      case 1: {
        e.debug.debug_kind = kDebugI16;
        const auto v = static_cast<std::int16_t>(rng_.Below(2000) - 1000);
        e.debug.value[0] = static_cast<std::uint8_t>(v);
        e.debug.value[1] = static_cast<std::uint8_t>(v >> 8);
        break;
      }
      case 2: {
        e.debug.debug_kind = kDebugF8p8;
        const auto v = static_cast<std::int16_t>(std::lround(rng_.Gauss() * 256));
        e.debug.value[0] = static_cast<std::uint8_t>(v);
        e.debug.value[1] = static_cast<std::uint8_t>(v >> 8);
        break;
      }
      case 3: {
        e.debug.debug_kind = kDebugI8;
        e.debug.value[0] = static_cast<std::uint8_t>(rng_.Below(256));
        break;
      }
      default: {
        e.debug.debug_kind = kDebugF16p16;
        const auto v = static_cast<std::int32_t>(std::lround(rng_.Gauss() * 65536));
        for (int i = 0; i < 4; ++i) e.debug.value[i] = static_cast<std::uint8_t>(v >> (8 * i));
        break;
      }
    }
    Advance(0.1);
  }

  void Pause(int k) {
    if (o_.markers) {
      Marker(0);
      Advance(0.2);
    }
    if (o_.debug_values) Debug(k);
    if (o_.variables && k > 0) {
      // A setting changed between exposures.
      Variable(kVariableGain, {static_cast<std::uint8_t>(4 + rng_.Below(12))});
    }
    Advance(std::max(0.1, o_.pause_s));
  }

  // The mount's error on the sky at session time t, in arcseconds: along RA
  // (already foreshortened by cos(dec)) and along DEC.
  void SkyError(double t, double& ra, double& dec) const {
    const double pe =
        o_.pe_amplitude_arcsec * std::sin(2.0 * kPi * t / o_.worm_period_s + o_.pe_phase_rad);
    ra = (pe + o_.drift_ra_arcsec_per_min * t / 60.0) * cos_dec_;
    dec = o_.drift_dec_arcsec_per_min * t / 60.0;
  }

  // Sky offsets in arcseconds to sensor offsets in x and y pixels.
  void ToSensor(double ra, double dec, double& x, double& y) const {
    const double xs = (ra * cos_angle_ - dec * sin_angle_) * px_per_arcsec_;
    const double ys_in_x_px = (ra * sin_angle_ + dec * cos_angle_) * px_per_arcsec_;
    x = xs;
    y = ys_in_x_px * kPixelPitchXmm / kPixelPitchYmm;
  }

  double FrameStep() {
    return o_.frame_interval_s + o_.frame_jitter_s * (rng_.Uniform() * 2.0 - 1.0);
  }

  void PositionRun() {
    const double end = t_ + o_.position_run_s;
    while (t_ <= end) {
      double ra, dec, x, y;
      SkyError(t_, ra, dec);
      ToSensor(ra, dec, x, y);
      x += o_.star_x_px + o_.noise_px * rng_.Gauss();
      y += o_.star_y_px + o_.noise_px * rng_.Gauss();
      LogEntity& e = Emit(ENTITY_STAR);
      e.star.is_position = 1;
      e.star.x = static_cast<std::int32_t>(std::lround(std::max(0.0, x) * 256.0));
      e.star.y = static_cast<std::int32_t>(std::lround(std::max(0.0, y) * 256.0));
      Advance(FrameStep());
    }
  }

  // One guiding frame: measure the residual, log it with the corrections
  // sent, and let the corrections move the mount.
  void GuideFrame() {
    if (rng_.Uniform() < o_.lost_star_probability) {
      Emit(ENTITY_STAR).star.no_star = 1;
      return;
    }
    double ra, dec, x, y;
    SkyError(t_, ra, dec);
    if (!guiding_) {
      // The guider takes the star's place when it starts as its reference.
      guiding_ = true;
      corrected_ra_ = ra;
      corrected_dec_ = dec;
    }
    ra -= corrected_ra_;
    dec -= corrected_dec_;
    ToSensor(ra, dec, x, y);
    LogEntity& e = Emit(ENTITY_STAR);
    e.star.x = ClampDrift(x + o_.noise_px * rng_.Gauss());
    e.star.y = ClampDrift(y + o_.noise_px * rng_.Gauss());
    // Corrections in 1/32 s of guide pulse; the RA rate on the sky shrinks
    // with cos(dec).
    const double ra_rate = o_.guide_rate_arcsec_per_s * std::max(cos_dec_, 0.05);
    const std::int8_t ra_corr = ClampCorrection(o_.aggressiveness * ra / ra_rate * 32.0);
    const std::int8_t dec_corr =
        ClampCorrection(o_.aggressiveness * dec / o_.guide_rate_arcsec_per_s * 32.0);
    if (ra_corr != 0) {
      e.star.ra_correction_flag = 1;
      e.star.ra_correction = ra_corr;
      corrected_ra_ += ra_corr / 32.0 * ra_rate;
    }
    if (dec_corr != 0) {
      e.star.dec_correction_flag = 1;
      e.star.dec_correction = dec_corr;
      corrected_dec_ += dec_corr / 32.0 * o_.guide_rate_arcsec_per_s;
    }
  }

  void AeExposure() {
    AeChange(kAeWait, rng_.Below(4) == 0, false);
    Advance(o_.wait_s);
    AeChange(kAeMl, false, false);
    Advance(o_.ml_s);
    AeChange(kAeExp, false, true);
    Advance(0.1);
    const double end = t_ + o_.exposure_s;
    while (t_ < end) {
      GuideFrame();
      Advance(FrameStep());
    }
    AeChange(kAeIdle, false, false);
    Advance(0.1);
  }

  void ExternalExposure() {
    const double end = t_ + o_.exposure_s;
    while (t_ < end) {
      GuideFrame();
      Advance(FrameStep());
    }
    Marker(0);
    Advance(0.1);
  }

  const SessionOptions& o_;
  Random rng_;
  std::uint16_t date_;
  std::uint32_t tenths_;
  double t_ = 0.0;  // seconds since the session began
  double px_per_arcsec_ = 1.0;
  double cos_dec_ = 1.0;
  double cos_angle_ = 1.0;
  double sin_angle_ = 0.0;
  double corrected_ra_ = 0.0;
  double corrected_dec_ = 0.0;
  bool guiding_ = false;
  EntityList out_;
};

}  // namespace

std::uint16_t NextDay(std::uint16_t date) {
  int year = DateYear(date);
  int month = DateMonth(date);
  int day = DateDay(date) + 1;
  if (month < 1 || month > 12) month = 1;
  if (day > DaysInMonth(year, month)) {
    day = 1;
    if (++month > 12) {
      month = 1;
      ++year;
    }
  }
  return PackDate(year, month, day);
}

EntityList GenerateSession(const SessionOptions& options, std::uint16_t* end_date,
                           std::uint32_t* end_tenths) {
  SessionBuilder builder(options);
  EntityList entities = builder.Build();
  if (!entities.empty()) {
    if (end_date) *end_date = entities.back().clock_date;
    if (end_tenths) *end_tenths = entities.back().clock_tenths;
  }
  return entities;
}

int WriteSession(const SessionOptions& options, LogWriter& writer) {
  return writer.Append(GenerateSession(options));
}

std::size_t FillLog(const SessionOptions& options, LogWriter& writer) {
  SessionOptions o = options;
  std::size_t appended = 0;
  for (;;) {
    std::uint16_t end_date = o.start_date;
    std::uint32_t end_tenths = o.start_tenths;
    const EntityList session = GenerateSession(o, &end_date, &end_tenths);
    for (std::size_t i = 0; i < session.size(); ++i) {
      if (writer.Append(session[i], session.DebugText(i).value_or(std::string_view())) !=
          LogWriter::kOk) {
        return appended;
      }
      ++appended;
    }
    // The next session an hour later.
    end_tenths += 36000;
    if (end_tenths >= kTenthsPerDay) {
      end_tenths -= kTenthsPerDay;
      end_date = NextDay(end_date);
    }
    o.seed += 1;
    o.start_date = end_date;
    o.start_tenths = end_tenths;
  }
}

}  // namespace ktal
