// The Kaiser window's Bessel function, shared by the filter's run-time
// designs and the table generator.
#pragma once

// The modified Bessel function I0, by its power series (converges for any x).
inline double bessel_i0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 500; ++k) {
    const double half = x / (2.0 * k);
    term *= half * half;
    sum += term;
    if (term < 1e-17 * sum) break;
  }
  return sum;
}
