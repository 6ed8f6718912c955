// The card lister against the fake-cards shim: every card in number order
// with its id and names, and only the devices that play.
#include <gtest/gtest.h>

#include "alsa_env.h"

namespace {

using words = std::vector<std::string>;

words listed(const std::vector<fake_card_spec>& cards, const std::string& detail) {
  alsa_env env;
  env.add_cards(cards);
  const process_result result = run_process({LIST_CARDS_PROGRAM, detail}, {.env = env.environment()});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  words lines;
  size_t start = 0;
  for (size_t end; (end = result.out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(result.out.substr(start, end - start));
  }
  return lines;
}

TEST(CardList, CardsInNumberOrderWithTheirNamesAndPlaybackDevices) {
  const std::vector<fake_card_spec> cards = {
      {.number = 4,
       .longname = "Orvalis Quellform at usb-2",
       .playback = {},
       .id = "Quellform",
       .name = "Quellform DAC"},
      {.number = 0, .longname = "Capture Only Card at pci-1", .playback = {}, .capture = {0}, .id = "Rec"},
      {.number = 2,
       .longname = "Twin DAC at usb-1",
       .playback = {3, 0},
       .capture = {1, 3},
       .id = "Twin",
       .pcm_name = "Twin Out"},
  };
  EXPECT_EQ(listed(cards, "playback"), (words{"0|Rec|Capture Only Card|Capture Only Card at pci-1||0",
                                              "2|Twin|Twin DAC|Twin DAC at usb-1|0:Twin Out,3:Twin Out|0",
                                              "4|Quellform|Quellform DAC|Orvalis Quellform at usb-2||0"}));
  EXPECT_EQ(listed(cards, "names"),
            (words{"0|Rec|Capture Only Card|Capture Only Card at pci-1||0", "2|Twin|Twin DAC|Twin DAC at usb-1||0",
                   "4|Quellform|Quellform DAC|Orvalis Quellform at usb-2||0"}));
  EXPECT_EQ(listed(cards, "numbers"), (words{"0|||||0", "2|||||0", "4|||||0"}));
  EXPECT_EQ(listed({}, "playback"), words{});
}

}  // namespace
