#include "deltasigma.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace {

// 2^31 * 2^(-k/6) for k = 1..6: one sixth of an octave per step.
constexpr std::array<uint32_t, 6> kSixthOctave = {0x7208F81D, 0x6597FA94, 0x5A827999,
                                                  0x50A28BE6, 0x47D66B07, 0x40000000};

constexpr std::array<int32_t, kLevelTableSize> make_level_table() {
  std::array<int32_t, kLevelTableSize> table{};
  for (int32_t i = 0; i < kLevelTableSize; ++i) {
    table[i] = static_cast<int32_t>(kSixthOctave[i % 6] >> (i / 6 + 2));
  }
  return table;
}
constexpr auto kLevelTable = make_level_table();
static_assert(kLevelTable[0] == 478297607 && kLevelTable[6] == 239148803 && kLevelTable[47] == 2097152);

int32_t attenuation = 0;  // the volume in dB with the sign reversed, 0..48
int32_t level = 1;

// Every modulator feeds back +Q or -Q: full scale of the one-bit output.
constexpr int32_t kFeedback = kLevelTable[0];
constexpr float kFeedbackFloat = static_cast<float>(kFeedback);  // 478,297,600.0
// The PCM input of level 7 is scaled by the -6 dB entry whatever the volume.
constexpr float kLevel7Input = static_cast<float>(kLevelTable[6]);

// Seventh-order loop: one integrator c1 and three resonators (c2,c3),
// (c4,c5), (c6,c7), every state updated from the values of the previous
// bit with the input plus the feedback, a_i*(u + v), added at every stage
// (the exact order of operations is at level7_bits):
//   c1' = c1 + a1(u+v)
//   c2' = c2 - g1*c3 + c1 + a2(u+v)    c3' = (1 - g1)*c3 + c2 + a3(u+v)
//   c4' = c4 - g2*c5 + c3 + a4(u+v)    c5' = (1 - g2)*c5 + c4 + a5(u+v)
//   c6' = c6 - g3*c7 + c5 + a6(u+v)    c7' = (1 - g3)*c7 + c6 + a7(u+v)
// and the bit is 1 when u + c7 >= 0. Each resonator's matrix [[1,-g],[1,1-g]]
// has determinant 1, so its poles lie on the unit circle: notches of the
// noise at 0, 8.1, 14.8 and 19.0 kHz (the optimal zeros of a seventh-order
// loop for a 20 kHz band at 11.2896 MHz). a1..a7 place the noise transfer
// function's poles as a maximally flat high-pass with a peak gain of 1.5.
// The input enters every stage with the feedback's coefficient, so the
// signal passes with unity gain. (The recurrence this replaces, with
// a1 = -6.991e-6 ... a7 = 0.4639 and g1..g3 = 0.0016, 0.0053, 0.0087, locks
// to a constant bit within a few hundred bits even for silence; see
// docs/modulators.md.) g_i are multiples of 2^-24, so k_i = 1 - g_i is exact.
constexpr float kG1 = 342.0f / 16777216.0f;
constexpr float kG2 = 1143.0f / 16777216.0f;
constexpr float kG3 = 1872.0f / 16777216.0f;
constexpr float kK1 = 1.0f - kG1;
constexpr float kK2 = 1.0f - kG2;
constexpr float kK3 = 1.0f - kG3;
constexpr std::array<float, 7> kA = {4.18489494e-06f, 0.00011847014f, 0.00162730816f, 0.0139746596f,
                                     0.0814671637f,   0.322670461f,   0.809264953f};

// The DSD path of level 7 runs without limits on its states. Its input is
// +-L/4 (not +-L/2): at +-Q/2 the loop overloads (a run of 0xFF bytes or
// random bits sends it into limit cycles of ~800 equal bits, with or
// without limits), at +-Q/4 it stays stable as the PCM path does.
constexpr bool kLevel7DsdClamp = false;
constexpr float kLevel7DsdScale = 0.25f;

// The feedback terms a_i * Q, computed once.
constexpr std::array<float, 7> make_feedback_terms() {
  std::array<float, 7> terms{};
  for (size_t i = 0; i < terms.size(); ++i) terms[i] = kA[i] * kFeedbackFloat;
  return terms;
}
constexpr auto kAQ = make_feedback_terms();

// Per channel. i1, i2 serve levels 1 and 2 and hold any int32 value; they
// are updated modulo 2^32 (see wrap_add). c1..c7 are level 7's states.
// The masks hold the last DSD byte's bits that are still ones / zeros
// (cancelled bits are in neither).
struct modulator_state {
  int32_t i1 = 0;
  int32_t i2 = 0;
  uint8_t ones_mask = 0;
  uint8_t zeros_mask = 0;
  std::array<float, 7> c{};
};

std::array<modulator_state, 2> channel_state{};
bool initialised = false;  // cleared by reset_modulators; the next call zeroes the state

void ensure_initialised() noexcept {
  if (initialised) return;
  channel_state = {};
  initialised = true;
}

// Integer addition modulo 2^32: with |s| <= Q the integrators stay well
// inside int32 in normal use, but level changes and extreme inputs must not
// make signed overflow possible.
constexpr int32_t wrap_add(int32_t a, int32_t b) noexcept {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// x * L truncated toward zero, saturated to int32 (a plain conversion of an
// out-of-range float is undefined and gives INT32_MIN on x86), then limited
// to [-Q, Q]. NaN counts as silence.
int32_t scaled_input(float x, int32_t level_value) noexcept {
  const float s = x * static_cast<float>(level_value);
  int32_t value = 0;
  if (s >= 2147483648.0f) {
    value = std::numeric_limits<int32_t>::max();
  } else if (s > -2147483648.0f) {
    value = static_cast<int32_t>(s);
  } else if (s <= -2147483648.0f) {
    value = std::numeric_limits<int32_t>::min();
  }  // else NaN: 0
  return std::clamp(value, -kFeedback, kFeedback);
}

// The first-order loop in closed form. With R = i1 + Q in [0, 2Q) and
// d = s + Q in [0, 2Q], each bit is R + d >= 2Q and R becomes (R + d) mod 2Q,
// so bit k is floor((R + (k+1)d) / 2Q) - floor((R + k d) / 2Q): the bits do
// not depend on each other and the loop carries no chain. The same bits as
// i1 += s; bit = i1 >= 0; i1 -= bit ? Q : -Q, which runs instead when i1
// is outside [-Q, Q) (only after level 2 left it there).
uint32_t pcm_level1(modulator_state& st, int bits, float x) noexcept {
  const int32_t s = scaled_input(x, level_table_entry(attenuation));
  int32_t i1 = st.i1;
  uint32_t out = 0;
  if (i1 >= -kFeedback && i1 < kFeedback) {
    constexpr uint64_t kTwoQ = 2 * static_cast<uint64_t>(kFeedback);
    const uint64_t r = static_cast<uint64_t>(static_cast<int64_t>(i1) + kFeedback);
    const uint64_t d = static_cast<uint64_t>(static_cast<int64_t>(s) + kFeedback);
    uint64_t before = 0;  // r / 2Q
    for (int k = 0; k < bits; ++k) {
      const uint64_t after = (r + static_cast<uint64_t>(k + 1) * d) / kTwoQ;
      out |= static_cast<uint32_t>(after - before) << (bits - 1 - k);
      before = after;
    }
    st.i1 = static_cast<int32_t>(static_cast<int64_t>((r + static_cast<uint64_t>(bits) * d) % kTwoQ) - kFeedback);
    return out;
  }
  for (int n = 0; n < bits; ++n) {
    i1 = wrap_add(i1, s);
    const bool one = i1 >= 0;
    i1 = wrap_add(i1, one ? -kFeedback : kFeedback);
    out = (out << 1) | (one ? 1u : 0u);
  }
  st.i1 = i1;
  return out;
}

uint32_t pcm_level2(modulator_state& st, int bits, float x) noexcept {
  const int32_t s = scaled_input(x, level_table_entry(attenuation)) / 2;
  int32_t i1 = st.i1;
  int32_t i2 = st.i2;
  uint32_t out = 0;
  for (int n = 0; n < bits; ++n) {
    i1 = wrap_add(i1, s);
    i2 = wrap_add(i2, i1);
    const bool one = i2 >= 0;
    const int32_t v = one ? -kFeedback : kFeedback;
    i1 = wrap_add(i1, v);
    i2 = wrap_add(i2, v);
    out = (out << 1) | (one ? 1u : 0u);
  }
  st.i1 = i1;
  st.i2 = i2;
  return out;
}

// The input terms a_i * u of one input value u.
using level7_terms = std::array<float, 7>;

level7_terms make_level7_terms(float u) noexcept {
  level7_terms t{};
  for (size_t i = 0; i < kA.size(); ++i) t[i] = kA[i] * u;
  return t;
}

// y limited to [-Q, Q].
constexpr float limit(float y) noexcept {
  const float above = y < -kFeedbackFloat ? -kFeedbackFloat : y;
  return above > kFeedbackFloat ? kFeedbackFloat : above;
}

// Runs `bits` bits of level 7 for the constant input u on the states in s
// (held in locals, written back once). Clamped: every state limited to
// [-Q, Q]. Returns the bits, earliest in bit bits-1.
//
// Per bit, from the previous bit's states (au_i = a_i*u, f_i = a_i*v with
// v = -Q for a 1 and +Q for a 0, so f_i = copysign(a_i*Q, -q)):
//   q = u + c7; the bit is 1 when q >= 0
//   c1' = lim((c1 + au1) + f1)
//   c2' = lim(((c2 - g1*c3) + (c1 + au2)) + f2)   c3' = lim((k1*c3 + (c2 + au3)) + f3)
//   c4' = lim(((c4 - g2*c5) + (c3 + au4)) + f4)   c5' = lim((k2*c5 + (c4 + au5)) + f5)
//   c6' = lim(((c6 - g3*c7) + (c5 + au6)) + f6)   c7' = lim((k3*c7 + (c6 + au7)) + f7)
// The feedback term comes last so that only one addition separates one
// bit's decision from the next. The next q is taken before c7's limit:
// with |u| < Q the limit never changes the sign of u + c7, and c7 is never
// -0, so the bits are those of the recurrence above.
template <bool kClamp>
uint32_t level7_bits(std::array<float, 7>& s, const level7_terms& au, float u, int bits) noexcept {
  auto lim = [](float y) { return kClamp ? limit(y) : y; };
  float c1 = s[0], c2 = s[1], c3 = s[2], c4 = s[3], c5 = s[4], c6 = s[5], c7 = s[6];
  float q = u + c7;
  uint32_t out = 0;
  for (int n = 0; n < bits; ++n) {
    out = (out << 1) | (q >= 0.0f ? 1u : 0u);
    const float toward = -q;  // the feedback opposes the quantiser input
    const float y7 = (kK3 * c7 + (c6 + au[6])) + std::copysign(kAQ[6], toward);
    const float n1 = lim((c1 + au[0]) + std::copysign(kAQ[0], toward));
    const float n2 = lim(((c2 - kG1 * c3) + (c1 + au[1])) + std::copysign(kAQ[1], toward));
    const float n3 = lim((kK1 * c3 + (c2 + au[2])) + std::copysign(kAQ[2], toward));
    const float n4 = lim(((c4 - kG2 * c5) + (c3 + au[3])) + std::copysign(kAQ[3], toward));
    const float n5 = lim((kK2 * c5 + (c4 + au[4])) + std::copysign(kAQ[4], toward));
    const float n6 = lim(((c6 - kG3 * c7) + (c5 + au[5])) + std::copysign(kAQ[5], toward));
    q = u + y7;
    c1 = n1, c2 = n2, c3 = n3, c4 = n4, c5 = n5, c6 = n6, c7 = lim(y7);
  }
  s = {c1, c2, c3, c4, c5, c6, c7};
  return out;
}

uint32_t pcm_level7(modulator_state& st, int bits, float x) noexcept {
  // NaN would poison the float states for good: take it as silence.
  const float scaled = std::isnan(x) ? 0.0f : std::clamp(x * kLevel7Input, -kLevel7Input, kLevel7Input);
  const float u = scaled * 0.5f;
  return level7_bits<true>(st.c, make_level7_terms(u), u, bits);
}

// One DSD input byte through the three-level front end: returns a 16-bit
// word with the ones of positions 15..8 in its high byte and the zeros in
// its low byte, and keeps the new byte's remaining bits in the masks.
uint16_t cancel_pairs(modulator_state& st, uint8_t byte) noexcept {
  uint32_t ones = (static_cast<uint32_t>(st.ones_mask) << 8) | byte;
  uint32_t zeros = (static_cast<uint32_t>(st.zeros_mask) << 8) | (byte ^ 0xFFu);
  // Position p is set when p and p-1 hold opposite values.
  const uint32_t opposite = ((ones & (zeros << 1)) | (zeros & (ones << 1))) & 0xFFFFu;
  for (int p = 15; p >= 8;) {
    if (opposite & (1u << p)) {
      const uint32_t pair = ~(3u << (p - 1));
      ones &= pair;
      zeros &= pair;
      p -= 2;
    } else {
      p -= 1;
    }
  }
  st.ones_mask = static_cast<uint8_t>(ones);
  st.zeros_mask = static_cast<uint8_t>(zeros);
  return static_cast<uint16_t>((ones & 0xFF00u) | (zeros >> 8));
}

// +1, -1 or 0 for position p (15..8) of a cancel_pairs result.
constexpr int three_level(uint16_t word, int p) noexcept {
  if (word & (1u << p)) return 1;
  if (word & (1u << (p - 8))) return -1;
  return 0;
}

// Re-modulates the 8 values of one input byte r times each; writes r bytes
// to out[0], out[2], ... (every other byte: the other channel between).
void dsd_byte_integer(modulator_state& st, uint16_t word, int32_t value, bool second_order, uint8_t* out,
                      int32_t ratio) noexcept {
  int32_t i1 = st.i1;
  int32_t i2 = st.i2;
  uint32_t acc = 0;
  int filled = 0;
  int32_t j = 0;
  for (int p = 15; p >= 8; --p) {
    const int32_t in = three_level(word, p) * value;
    for (int32_t k = 0; k < ratio; ++k) {
      i1 = wrap_add(i1, in);
      bool one;
      if (second_order) {
        i2 = wrap_add(i2, i1);
        one = i2 >= 0;
        const int32_t v = one ? -kFeedback : kFeedback;
        i1 = wrap_add(i1, v);
        i2 = wrap_add(i2, v);
      } else {
        one = i1 >= 0;
        i1 = wrap_add(i1, one ? -kFeedback : kFeedback);
      }
      acc = (acc << 1) | (one ? 1u : 0u);
      if (++filled == 8) {
        out[2 * j++] = static_cast<uint8_t>(acc);
        acc = 0;
        filled = 0;
      }
    }
  }
  st.i1 = i1;
  st.i2 = i2;
}

void dsd_byte_level7(modulator_state& st, uint16_t word, const std::array<level7_terms, 3>& terms, float value,
                     uint8_t* out, int32_t ratio) noexcept {
  uint32_t acc = 0;
  int filled = 0;
  int32_t j = 0;
  for (int p = 15; p >= 8; --p) {
    const int v = three_level(word, p);
    const float u = v > 0 ? value : v < 0 ? -value : 0.0f;
    int32_t left = ratio;
    while (left > 0) {
      const int take = static_cast<int>(std::min<int32_t>(left, 8 - filled));
      acc = (acc << take) | level7_bits<kLevel7DsdClamp>(st.c, terms[v + 1], u, take);
      filled += take;
      left -= take;
      if (filled == 8) {
        out[2 * j++] = static_cast<uint8_t>(acc);
        acc = 0;
        filled = 0;
      }
    }
  }
}

}  // namespace

int32_t level_table_entry(int32_t db_down) {
  // 48 dB down has no table entry: it is silence.
  return db_down >= 0 && db_down < kLevelTableSize ? kLevelTable[db_down] : 0;
}

int32_t select_modulator_level(int32_t requested) {
  if (requested != 1 && requested != 2 && requested != 7) return 0;
  level = requested;
  return -1;
}

int32_t modulator_level() { return level; }

int32_t set_volume(int32_t db) {
  if (db < -kMaxAttenuationDb || db > 0) return get_volume();
  attenuation = -db;
  return db;
}

int32_t get_volume() { return -attenuation; }

void reset_modulators() { initialised = false; }

uint32_t pcm_modulator(int channel, int bits, float x) {
  ensure_initialised();
  modulator_state& st = channel_state[channel & 1];
  bits = bits == 16 ? 16 : 32;
  switch (level) {
    case 2: return pcm_level2(st, bits, x);
    case 7: return pcm_level7(st, bits, x);
    default: return pcm_level1(st, bits, x);
  }
}

int32_t dsd_modulator(const uint8_t* input, uint8_t* output, int32_t count, int32_t ratio) {
  ensure_initialised();
  if (ratio < 1 || count < 1) return count;
  const int32_t entry = level_table_entry(attenuation);
  std::array<level7_terms, 3> terms{};
  const float value7 = static_cast<float>(entry) * kLevel7DsdScale;
  if (level == 7) {
    terms = {make_level7_terms(-value7), make_level7_terms(0.0f), make_level7_terms(value7)};
  }
  for (int32_t pos = 0; pos < count; ++pos) {
    const int32_t ch = pos & 1;
    modulator_state& st = channel_state[ch];
    const uint16_t word = cancel_pairs(st, input[pos]);
    uint8_t* out = output + 2 * ratio * (pos >> 1) + ch;
    if (level == 7) {
      dsd_byte_level7(st, word, terms, value7, out, ratio);
    } else {
      dsd_byte_integer(st, word, level == 2 ? entry / 2 : entry, level == 2, out, ratio);
    }
  }
  return count;
}
