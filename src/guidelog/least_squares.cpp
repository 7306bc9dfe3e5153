// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/least_squares.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace ktal {
namespace {

// Solves a (n x n, row-major) * c = rhs in place by Gaussian elimination
// with partial pivoting; false when a pivot is negligible.
bool Solve(std::vector<double> a, std::vector<double>& rhs_x, std::vector<double>& rhs_y, int n) {
  double largest = 0.0;
  for (int i = 0; i < n; ++i) largest = std::max(largest, std::fabs(a[i * n + i]));
  for (int col = 0; col < n; ++col) {
    int pivot = col;
    for (int row = col + 1; row < n; ++row) {
      if (std::fabs(a[row * n + col]) > std::fabs(a[pivot * n + col])) pivot = row;
    }
    if (!(std::fabs(a[pivot * n + col]) > 1e-12 * largest)) return false;
    if (pivot != col) {
      for (int k = 0; k < n; ++k) std::swap(a[col * n + k], a[pivot * n + k]);
      std::swap(rhs_x[col], rhs_x[pivot]);
      std::swap(rhs_y[col], rhs_y[pivot]);
    }
    for (int row = col + 1; row < n; ++row) {
      const double factor = a[row * n + col] / a[col * n + col];
      for (int k = col; k < n; ++k) a[row * n + k] -= factor * a[col * n + k];
      rhs_x[row] -= factor * rhs_x[col];
      rhs_y[row] -= factor * rhs_y[col];
    }
  }
  for (int row = n - 1; row >= 0; --row) {
    for (int k = row + 1; k < n; ++k) {
      rhs_x[row] -= a[row * n + k] * rhs_x[k];
      rhs_y[row] -= a[row * n + k] * rhs_y[k];
    }
    rhs_x[row] /= a[row * n + row];
    rhs_y[row] /= a[row * n + row];
  }
  return true;
}

}  // namespace

bool FitLinesWithHarmonics(const std::vector<double>& t, const std::vector<double>& x,
                           const std::vector<double>& y, double half_span, double period,
                           int harmonics, double line_x[2], double line_y[2]) {
  const int n = 2 + 2 * harmonics;
  std::vector<double> a(static_cast<std::size_t>(n * n), 0.0);
  std::vector<double> bx(static_cast<std::size_t>(n), 0.0);
  std::vector<double> by(static_cast<std::size_t>(n), 0.0);
  std::vector<double> row(static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < t.size(); ++i) {
    row[0] = 1.0;
    // The time column scaled to -1..1 keeps the equations balanced.
    row[1] = t[i] / half_span;
    for (int k = 1; k <= harmonics; ++k) {
      const double phase = 2.0 * std::numbers::pi * k * t[i] / period;
      row[2 * k] = std::sin(phase);
      row[2 * k + 1] = std::cos(phase);
    }
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) a[r * n + c] += row[r] * row[c];
      bx[r] += row[r] * x[i];
      by[r] += row[r] * y[i];
    }
  }
  if (!Solve(std::move(a), bx, by, n)) return false;
  line_x[0] = bx[0];
  line_x[1] = bx[1] / half_span;
  line_y[0] = by[0];
  line_y[1] = by[1] / half_span;
  return true;
}

void SmoothedCurve(const std::vector<double>& t, const std::vector<double>& r, double w,
                   double& peak_to_peak, std::optional<double>& steepest) {
  const std::size_t n = r.size();
  double lowest = 0.0;
  double highest = 0.0;
  double sum_t = 0.0, sum_tt = 0.0, sum_r = 0.0, sum_tr = 0.0;
  std::size_t lo = 0;
  std::size_t hi = 0;  // window is [lo, hi)
  for (std::size_t i = 0; i < n; ++i) {
    while (hi < n && t[hi] <= t[i] + w / 2.0) {
      sum_t += t[hi];
      sum_tt += t[hi] * t[hi];
      sum_r += r[hi];
      sum_tr += t[hi] * r[hi];
      ++hi;
    }
    while (t[lo] < t[i] - w / 2.0) {
      sum_t -= t[lo];
      sum_tt -= t[lo] * t[lo];
      sum_r -= r[lo];
      sum_tr -= t[lo] * r[lo];
      ++lo;
    }
    const double count = static_cast<double>(hi - lo);
    const double mean = sum_r / count;
    if (i == 0 || mean < lowest) lowest = mean;
    if (i == 0 || mean > highest) highest = mean;
    const double spread = count * sum_tt - sum_t * sum_t;
    if (hi - lo >= 3 && spread > 0.0) {
      const double slope = std::fabs((count * sum_tr - sum_t * sum_r) / spread);
      if (!steepest || slope > *steepest) steepest = slope;
    }
  }
  peak_to_peak = highest - lowest;
}

}  // namespace ktal
