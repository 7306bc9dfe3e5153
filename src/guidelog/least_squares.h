// SPDX-License-Identifier: GPL-3.0-or-later
// Least squares for the guiding summary: the drift line of a run with the
// worm's harmonics, and the moving mean and slope of its periodic error.
#pragma once

#include <optional>
#include <vector>

namespace ktal {

// Least squares of x and of y against t (both over the same times):
//   x(t) = a + b t + sum_k [c_k sin(2 pi k t / period) + d_k cos(..)],
// k = 1..harmonics (no sum with 0), from the normal equations by Gaussian
// elimination with partial pivoting. The times should lie within
// [-half_span, half_span]: the time column is scaled by it to keep the
// equations balanced. Gives a and b (per second) of x in line_x and of y
// in line_y; false, with nothing written, when a pivot is negligible.
bool FitLinesWithHarmonics(const std::vector<double>& t, const std::vector<double>& x,
                           const std::vector<double>& y, double half_span, double period,
                           int harmonics, double line_x[2], double line_y[2]);

// The mean of r over the samples within w/2 of each sample
// (|t_j - t_i| <= w/2; times in ascending order), by sliding sums:
// `peak_to_peak` gets max - min of those means, and `steepest` the largest
// |least-squares slope| of r over the windows of at least 3 samples (left
// as it is when no window has 3).
void SmoothedCurve(const std::vector<double>& t, const std::vector<double>& r, double w,
                   double& peak_to_peak, std::optional<double>& steepest);

}  // namespace ktal
