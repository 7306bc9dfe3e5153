// SPDX-License-Identifier: GPL-3.0-or-later
// Realistic guiding sessions for tests, benchmarks and the simulated guider.
//
// A session starts with the open record and the guiding settings, may log a
// run of absolute star positions first (the unguided mount, from which the
// periodic-error tables are made), and then guides a number of exposures,
// each an AutoExposure WAIT / ML / EXP cycle with drift measurements and
// corrections on both axes, occasional lost stars, setting changes, markers
// and debug values between them. The star drifts linearly and with the
// mount's periodic error (a sine of chosen period and amplitude), plus
// Gaussian measurement noise; everything is reproducible from the seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "guidelog/log_format.h"
#include "sim/log_writer.h"

namespace ktal {

struct SessionOptions {
  std::uint32_t seed = 1;
  // Start of the session: packed date and time of day in tenths.
  std::uint16_t start_date = PackDate(2014, 3, 21);
  std::uint32_t start_tenths = 21 * 36000;  // 21:00:00.0
  std::uint8_t fw_major = 0x02;
  std::uint8_t fw_minor = 0x60;

  // Optics: they turn arcseconds on the sky into sensor pixels. The x pixel
  // pitch is 4.85 um, the y pitch 4.65 um.
  int focal_length_mm = 1000;
  double star_dec_deg = 0.0;
  // Angle of the sensor's x axis against the RA direction.
  double camera_angle_deg = 0.0;

  // The mount: periodic error of the RA axis (amplitude in arcseconds of RA,
  // i.e. before the cos(dec) foreshortening), its period, and a linear
  // drift on both axes in arcseconds per minute on the sky.
  double worm_period_s = 480.0;
  double pe_amplitude_arcsec = 10.0;
  double pe_phase_rad = 0.0;
  double drift_ra_arcsec_per_min = 0.5;
  double drift_dec_arcsec_per_min = 0.2;
  // Standard deviation of the measured position, in pixels.
  double noise_px = 0.03;

  // Time between guiding frames, with a little jitter (seconds).
  double frame_interval_s = 2.0;
  double frame_jitter_s = 0.2;

  // A run of absolute positions at the start, unguided (0: none).
  double position_run_s = 0.0;
  // Where the star sits on the sensor during that run (pixels).
  double star_x_px = 376.0;
  double star_y_px = 291.0;

  // Guided AutoExposure exposures after the position run.
  int exposures = 3;
  double wait_s = 3.0;
  double ml_s = 1.5;
  double exposure_s = 300.0;
  double pause_s = 20.0;  // between exposures (variables, markers, debug)
  double lost_star_probability = 0.02;
  // Correction gain: fraction of the measured drift corrected per frame,
  // and the mount's guide rate in arcseconds per second of correction.
  double aggressiveness = 0.7;
  double guide_rate_arcsec_per_s = 7.5;

  // Guided stretches without AutoExposure after the AE exposures, each
  // ended by a marker: external exposures.
  int external_exposures = 0;

  bool variables = true;     // guiding settings before each exposure
  bool debug_values = true;  // debug entities between exposures
  bool markers = true;       // a NOP marker between exposures
  // A marker of value 1 and a second open record (the file reopened) in
  // the middle of the session.
  bool reopen = false;
};

// The entities of one session in order, with absolute clocks; the running
// clock entities are left to the writer. `end_date` and `end_tenths`, when
// given, receive the clock of the last entity.
EntityList GenerateSession(const SessionOptions& options, std::uint16_t* end_date = nullptr,
                           std::uint32_t* end_tenths = nullptr);

// The packed date of the day after `date` (calendar months, leap years).
std::uint16_t NextDay(std::uint16_t date);

// Appends the session to `writer`; returns the writer's first failure
// (LogWriter::kLogFull when the session does not fit), 0 otherwise.
int WriteSession(const SessionOptions& options, LogWriter& writer);

// Appends sessions with successive seeds, each starting an hour after the
// previous one ended, until the writer's 4096 pages are full. Returns the
// number of entities appended.
std::size_t FillLog(const SessionOptions& options, LogWriter& writer);

}  // namespace ktal
