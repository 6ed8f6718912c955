// The analyser reads only its own spectrum, whatever the signal.
#include "analyser.h"

#include <gtest/gtest.h>

#include <vector>

// A step's spectrum rises all the way to Nyquist: the search for a tone
// named at 1 kHz looks at its neighbours and stops inside the spectrum.
TEST(Analyser, AToneSearchLooksOnlyNearTheToneNamed) {
  std::vector<float> step(32768, 0.0f);
  step[step.size() / 2] = 0.5f;
  step[step.size() / 2 + 1] = -0.5f;
  const analyser_result r = analyser_run(step, 5644800, {.band_low_hz = 3000, .band_high_hz = 20000, .tone_hz = 1000});
  EXPECT_LT(r.tone_hz, 1000 + (2 + 8) * r.bin_hz) << "the tone is sought within two bins of 1 kHz, its lobe 8 either side";
}
