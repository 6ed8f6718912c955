// The oversampling filter's two 44.1 kHz lowpass coefficient tables,
// designed and written by tools/make_fir_tables.cpp into fir_tables.cpp.
//
// Every table is a linear-phase lowpass applied at 352800 Hz with T taps:
// symmetric (c[k] == c[T-2-k] for k = 0..T-2), its last tap c[T-1] is 0, its
// centre tap is c[T/2-1] and the taps sum to 1. Its passband rises to make up
// for the droop of the 8-step hold it follows, so the whole 44.1 kHz path is
// flat. T + 8 is a whole number of 8-tap rounds of the filter's dot product.
#pragma once

#include <cstdint>

constexpr int32_t kFirTaps44kNormal = 824;
constexpr int32_t kFirTaps44kShort = 504;

// Normal list: with the hold flat to 20 kHz, -140 dB from 24.1 kHz.
extern const float fir_coeffs_44k_normal[kFirTaps44kNormal];
// Short list: with the hold flat to 19 kHz, -120 dB from 25.1 kHz.
extern const float fir_coeffs_44k_short[kFirTaps44kShort];
