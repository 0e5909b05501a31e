// Tests of the display character tables and the text conversions.
#include <gtest/gtest.h>

#include <vector>

#include "calib/ULcdText.h"

using namespace amx;

namespace {

std::vector<uint8_t> Codes(const char* text)
{
  uint8_t codes[kLcdChars];
  size_t n = TextToDisplayCodes(text, codes);
  return std::vector<uint8_t>(codes, codes + n);
}

}  // namespace

TEST(LcdText, ConvertsTheDisplayExamples)
{
  EXPECT_EQ(Codes("Hello"), (std::vector<uint8_t>{0x48, 0x65, 0x6C, 0x6C, 0x6F}));
  EXPECT_EQ(Codes("\xCF\xF0\xE8\xE2\xE5\xF2"), (std::vector<uint8_t>{0xA8, 0x70, 0xB8, 0xB3, 0x65, 0xBF}));
  EXPECT_EQ(Codes("a\\b{|}~"), (std::vector<uint8_t>{0x61, 0x20, 0x62, 0x20, 0x20, 0x20, 0xE9}));
  EXPECT_EQ(Codes("\x14\x15\x18\x19\x01\x7F\xA9\xB8\xA8"),
            (std::vector<uint8_t>{0xFE, 0xFD, 0xD9, 0xDA, 0x20, 0x20, 0xA2, 0xB5, 0x20}));
  EXPECT_TRUE(Codes("").empty());
}

TEST(LcdText, CutsTextTo16Characters)
{
  std::vector<uint8_t> codes = Codes("abcdefghijklmnopqrst");
  ASSERT_EQ(codes.size(), 16u);
  EXPECT_EQ(codes.back(), 'p');
}

TEST(LcdText, TablesAreInversesOnTheDisplayCodesTheyProduce)
{
  for (int t = 0; t < 256; ++t) {
    uint8_t d = TextToDisplay[t];
    ASSERT_NE(d, 0) << t;
    uint8_t back = DisplayToText[d];
    // Cyrillic letters drawn with Latin codes come back as the Latin letters.
    bool sharesLatin = d >= 0x41 && d <= 0x7A && t >= 0xC0;
    if (d != 0x20 && !sharesLatin) {
      EXPECT_EQ(back, t) << "text code " << t;
    }
  }
  for (int d = 0; d < 256; ++d) {
    uint8_t t = DisplayToText[d];
    ASSERT_NE(t, 0) << d;
    if (t != 0x20) {
      EXPECT_EQ(TextToDisplay[t], d) << "display code " << d;
    }
  }
}

TEST(LcdText, DecodesDisplayCodesToText)
{
  const uint8_t codes[] = {0xA8, 0x70, 0xB8, 0xB3, 0x65, 0xBF, 0x00, 0x5C, 0xC7, 0xFE};
  EXPECT_EQ(DisplayCodesToText(codes, sizeof codes), "\xCF\x70\xE8\xE2\x65\xF2  \xFF\x14");
}
