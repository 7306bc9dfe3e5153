// SPDX-License-Identifier: GPL-3.0-or-later
// The guiding camera's pixels and the scale they give on the sky: every
// output that turns pixels into arcseconds (the periodic-error tables, the
// guiding summary and its pages, the PHD2 guide log) takes them from here.
//
// Pixel scale (arcseconds per pixel), from the focal length F in mm:
//   RA (x):  sx = 0.00485 / F * 3600 * 57.29577951309679
//   DEC (y): sy = sx * 0.9587629437446594 (the y pixels are 4.65 um high,
//   the x pixels 4.85 um wide).
#pragma once

namespace ktal {

// The sensor's pixels are not square: 4.85 um wide along x (the RA axis)
// and 4.65 um high along y (the DEC axis).
inline constexpr double kPixelWidthUm = 4.85;
inline constexpr double kPixelHeightUm = 4.65;
// The width in millimetres, as the pixel scale takes it: the very double
// of 0.00485 (4.85 / 1000 would be one bit short of it).
inline constexpr double kPixelPitchMm = kPixelWidthUm * 1e-3;
// y pixels measured in x pixels, the quotient taken in single precision
// as the periodic-error tables take it: 0.9587629437446594.
inline constexpr float kPixelYScaleFloat =
    static_cast<float>(kPixelHeightUm) / static_cast<float>(kPixelWidthUm);
inline constexpr double kPixelYScale = kPixelYScaleFloat;

inline constexpr double kDegreesPerRadian = 57.29577951309679;

// Arcseconds per x pixel (ra) and per y pixel (dec).
struct PixelScale {
  double ra = 1.0;
  double dec = 1.0;
};

// sx and sy above at the focal length F (mm, above 0).
inline PixelScale ArcsecPerPixel(double focal_length_mm) {
  const double sx = kPixelPitchMm / focal_length_mm * 3600.0 * kDegreesPerRadian;
  return PixelScale{sx, sx * kPixelYScale};
}

}  // namespace ktal
