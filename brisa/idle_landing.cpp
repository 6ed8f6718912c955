// The modulators' silence handed over to the idle pattern without a click.
//
// Where a one-bit stream is cut over to the idle pattern (1010...), the
// stream's running sum, seen through a low-pass filter, steps by how far the
// pattern's pairs of bits sit from the level the modulator's sum kept: an
// impulse of up to a bit, a click of about -56 dBFS between 3 and 20 kHz,
// far above level 7's floor. That sum is the first integrator's (input plus
// feedback, in units of the feedback). Its values lie a whole number of bits
// apart, and at the start of a byte, where the pattern begins with a 1,
// every other one of them, so a cut can only land on that lattice: the
// landing measures the level on silence, moves the lattice there with a
// smooth pulse of less than a bit's area over 1.5 ms (all of it far below the
// audio band), and cuts at the first frame where the pattern keeps the sum
// on its level.
#include <array>
#include <cmath>
#include <numbers>

#include "deltasigma.h"
#include "level7_loop.h"
#include "modulator_state.h"

namespace {

using namespace modulator;

constexpr int kLevelBits = 4096;  // the silence the level is measured over
constexpr int kNudgeBits = 8192;  // the pulse that moves the lattice
constexpr int kWaitFramesAtMost = 64;

// One channel's loop, run a bit at a time, and its running sum in bits.
struct landing_channel {
  channel_state* st = nullptr;
  level7_lanes<f4> lanes{};  // level 7's states, held while it runs
  double sum = 0;
};

landing_channel start_channel(int level, channel_state& st) {
  landing_channel ch{.st = &st};
  if (level == 7) {
    ch.lanes = load_level7(st);
    ch.sum = static_cast<double>(st.c[0]) / (static_cast<double>(kA[0]) * kFeedbackFloat);
  } else {
    ch.sum = static_cast<double>(static_cast<int32_t>(st.i1)) / kFeedbackFloat;
  }
  return ch;
}

// One bit of the channel's loop for input u (full scale: the feedback).
uint32_t landing_bit(int level, landing_channel& ch, double u, const level7_constants<f4>& k) {
  uint32_t bit = 0;
  if (level == 7) {
    level7_step<true>(ch.lanes, make_level7_input(static_cast<float>(u)), k);
    bit = simd::recent_bits(ch.lanes.signs) & 1u;
  } else {
    // i1 += in; i2 += i1; the bit from the highest; both += the feedback.
    channel_state& st = *ch.st;
    st.i1 += static_cast<uint32_t>(static_cast<int32_t>(std::lround(u)));
    st.i2 += st.i1;
    bit = static_cast<int32_t>(level == 2 ? st.i2 : st.i1) >= 0 ? 1u : 0u;
    const uint32_t feedback = bit != 0 ? 0u - kQ : kQ;
    st.i1 += feedback;
    st.i2 += feedback;
  }
  ch.sum += u / kFeedbackFloat + (bit != 0 ? -1.0 : 1.0);
  return bit;
}

// A raised cosine over n steps, at step i: its sum over the n steps is 1.
double pulse_at(int i, int n) { return (1.0 - std::cos(2.0 * std::numbers::pi * (i + 0.5) / n)) / n; }

// x moved by whole multiples of 2 into [-1, 1).
double within_one(double x) { return x - 2.0 * std::floor((x + 1.0) / 2.0); }

}  // namespace

void land_in_idle(delta_sigma& modulators, int bits, std::vector<uint32_t>& words) {
  const int level = modulators.level;
  const level7_constants<f4> k = make_level7_constants();
  std::array<landing_channel, 2> channels = {start_channel(level, modulators.channels[0]),
                                             start_channel(level, modulators.channels[1])};
  // A frame of bits, each channel's input given per bit; after_bit sees each.
  const auto frame = [&](int first_bit, auto input, auto after_bit) {
    uint32_t word[2] = {};
    for (int b = 0; b < bits; ++b) {
      for (size_t c = 0; c < 2; ++c)
        word[c] = word[c] << 1 | landing_bit(level, channels[c], input(c, first_bit + b), k);
      after_bit(first_bit + b);
    }
    words.push_back(word[0]);
    words.push_back(word[1]);
  };
  const auto silence = [](size_t, int) { return 0.0; };
  const auto nothing = [](int) {};

  // The level the sum keeps on silence: its mean under a raised cosine.
  std::array<double, 2> level_of{};
  for (int at = 0; at < kLevelBits; at += bits) {
    frame(at, silence, [&](int i) {
      for (size_t c = 0; c < 2; ++c) level_of[c] += pulse_at(i, kLevelBits) * channels[c].sum;
    });
  }
  // At a frame's start the sum should stand half a bit above the level: the
  // pattern's 1 then takes it half a bit below, and so on, around it.
  std::array<double, 2> move{};
  for (size_t c = 0; c < 2; ++c) move[c] = within_one(level_of[c] + 0.5 - channels[c].sum) * kFeedbackFloat;
  for (int at = 0; at < kNudgeBits; at += bits) {
    frame(
        at, [&](size_t c, int i) { return move[c] * pulse_at(i, kNudgeBits); }, nothing);
  }
  const auto on_level = [&] {
    for (size_t c = 0; c < 2; ++c) {
      if (std::fabs(channels[c].sum - (level_of[c] + 0.5)) >= 0.5) return false;
    }
    return true;
  };
  for (int waited = 0; waited < kWaitFramesAtMost && !on_level(); ++waited) frame(0, silence, nothing);
  if (level == 7) {
    for (size_t c = 0; c < 2; ++c) store_level7(*channels[c].st, channels[c].lanes);
  }
}
