// The oversampling filter's four lowpass coefficient tables, designed and
// written by tools/make_fir_tables.cpp into fir_tables.cpp.
//
// Every table is a linear-phase lowpass applied at 352800 Hz with T taps:
// symmetric (c[k] == c[T-2-k] for k = 0..T-2), its last tap c[T-1] is 0, its
// centre tap is c[T/2-1] and the taps sum to 1.
#pragma once

#include <cstdint>

constexpr int32_t kFirTaps44kNormal = 8192;
constexpr int32_t kFirTapsAnyNormal = 1024;
constexpr int32_t kFirTaps44kShort = 800;
constexpr int32_t kFirTapsAnyShort = 192;

// 44.1 kHz input, normal list: a 15.2 kHz lowpass, -0.54 dB at 15 kHz.
extern const float fir_coeffs_44k_normal[kFirTaps44kNormal];
// Other input rates, normal list: -3.2 dB at 20 kHz, -90 dB from 22.05 kHz.
extern const float fir_coeffs_any_normal[kFirTapsAnyNormal];
// 44.1 kHz input, short list: -4.6 dB at 20 kHz, below -90 dB from 24 kHz.
extern const float fir_coeffs_44k_short[kFirTaps44kShort];
// Other input rates, short list: -5.3 dB at 20 kHz, -75 dB from 26 kHz.
extern const float fir_coeffs_any_short[kFirTapsAnyShort];
