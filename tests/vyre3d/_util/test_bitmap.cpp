// tests/vyre3d/_util/test_bitmap: bitmap files: exact bytes, round trips, reports, and the
// reader's answer to damaged or unsupported files. Builds on _util/format.
#include <gtest/gtest.h>
#include <cstring>
#include "_util/format.h"
#include "test_util.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using image = tensor<unsigned char>;

static image pattern(int ch, int w, int h)
{
  image img(3, ch, w, h);
  for (int i = 0; i < img.numel; i++) img.data[i] = (unsigned char)(i * 37 + 11);
  return img;
}

static uint32_t le32(const std::vector<unsigned char>& b, int at)
{
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

TEST(Bitmap, OnePixelIsA58ByteFileWithExactHeaderAndPadding)
{
  image img(3, 3, 1, 1);
  img.values(10, 20, 30);
  const std::string name = scratch("one.bmp");
  CaptureStdout();
  const int count = bitmap_write(name.c_str(), img);
  const std::string report = GetCapturedStdout();
  EXPECT_EQ(report, name + " <-\tbitmap[RGBx1x1] = 58 B (resid=3)\n");
  EXPECT_EQ(count, (int)report.size());

  const std::vector<unsigned char> expect = {
      'B', 'M', 58, 0,   0, 0, 0, 0, 0,    0,    54, 0, 0,    0,            // file header
      40,  0,   0,  0,   1, 0, 0, 0, 1,    0,    0,  0, 1,    0,    24, 0,  // size, width, height, planes, bits
      0,   0,   0,  0,   3, 0, 0, 0, 0x0E, 0xC4, 0,  0, 0x0E, 0xC4, 0,  0,  // compression, image size, 50190 ppm x2
      0,   0,   0,  0,   0, 0, 0, 0,                                        // colours used, important
      30,  20,  10, 0x36};                                                  // blue, green, red, pad
  EXPECT_EQ(file_bytes(name), expect);
}

TEST(Bitmap, RowsArePaddedToFourBytesAndAlphaIsReported)
{
  struct Case {
    int ch, w, h, file_size, resid;
    const char* kind;
  };
  for (Case c : {Case{4, 2, 3, 54 + 8 * 3, 0, "RGBA"}, Case{3, 4, 2, 54 + 12 * 2, 0, "RGB"},
                 Case{3, 5, 2, 54 + 16 * 2, 3, "RGB"}, Case{3, 2, 1, 54 + 8, 2, "RGB"}}) {
    const std::string name = scratch("pad.bmp");
    CaptureStdout();
    bitmap_write(name.c_str(), pattern(c.ch, c.w, c.h));
    const std::string report = GetCapturedStdout();
    char expect[256];
    std::snprintf(expect, sizeof expect, "%s <-\tbitmap[%sx%dx%d] = %d B (resid=%d)\n", name.c_str(), c.kind, c.w, c.h,
                  c.file_size, c.resid);
    EXPECT_EQ(report, expect);
    const std::vector<unsigned char> bytes = file_bytes(name);
    ASSERT_EQ((int)bytes.size(), c.file_size);
    EXPECT_EQ(le32(bytes, 2), (uint32_t)c.file_size);
    EXPECT_EQ(le32(bytes, 34), (uint32_t)(c.ch * c.w * c.h));  // image size leaves out the padding
    EXPECT_EQ(bytes[28], 8 * c.ch);
  }
}

TEST(Bitmap, ReadingBackGivesTheSameImageAndReportsIt)
{
  for (int ch : {3, 4})
    for (int w : {1, 2, 3, 5}) {
      const image img = pattern(ch, w, 3);
      const std::string name = scratch("round.bmp");
      CaptureStdout();
      bitmap_write(name.c_str(), img);
      const std::string written = GetCapturedStdout();
      CaptureStdout();
      const image back = bitmap_read(name.c_str());
      const std::string read = GetCapturedStdout();
      EXPECT_EQ(read.substr(0, name.size() + 3), name + " ->");
      EXPECT_EQ(read.substr(name.size() + 3), written.substr(name.size() + 3));  // same fields after the arrow
      ASSERT_EQ(back.ndims, 3);
      EXPECT_EQ(back.size[0], ch);
      EXPECT_EQ(back.size[1], w);
      EXPECT_EQ(back.size[2], 3);
      ASSERT_EQ(back.numel, img.numel);
      EXPECT_EQ(0, std::memcmp(back.data, img.data, img.numel)) << ch << " channels, width " << w;
    }
}

TEST(Bitmap, FilesThatCannotBeOpenedAreReportedAsErrors)
{
  const std::string missing = scratch("no/such/file.bmp");
  CaptureStdout();
  const image img = bitmap_read(missing.c_str());
  EXPECT_EQ(GetCapturedStdout(), missing + " <- (error)\n");
  EXPECT_EQ(img.numel, 0);

  CaptureStdout();
  bitmap_write(missing.c_str(), pattern(3, 1, 1));
  EXPECT_EQ(GetCapturedStdout(), missing + " <- (error)\n");
}

// Every damage a file from outside may carry gives a message and an empty image;
// the sanitizer build checks that none of them reads outside the file.
TEST(Bitmap, DamagedOrUnsupportedFilesGiveAMessageAndNoImage)
{
  const std::string good = scratch("good.bmp");
  CaptureStdout();
  bitmap_write(good.c_str(), pattern(3, 3, 2));
  GetCapturedStdout();
  const std::vector<unsigned char> valid = file_bytes(good);
  auto with = [&](int at, int bytes, int64_t value) {
    std::vector<unsigned char> b = valid;
    bitmap_put(b.data() + at, bytes, value);
    return b;
  };
  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
    const char* reason;
  };
  const Case cases[] = {
      {"signature", with(0, 2, 0x5A4D), "signature"},
      {"16 bits", with(28, 2, 16), "bits per pixel"},
      {"8 bits", with(28, 2, 8), "bits per pixel"},
      {"compressed", with(30, 4, 1), "compressed"},
      {"palette", with(46, 4, 256), "palettes"},
      {"negative width", with(18, 4, -3), "negative"},
      {"top-down", with(22, 4, -2), "negative"},
      {"absurd width", with(18, 4, 0x7FFFFFFF), "too large"},
      {"absurd width, no rows",
       [&] {
         auto b = with(18, 4, 0x5E40000B);
         bitmap_put(b.data() + 22, 4, 0);
         return b;
       }(),
       "too large"},
      {"wide, short file", with(18, 4, 1 << 20), "truncated"},
      {"tall, short file", with(22, 4, 3), "truncated"},
      {"offset past end", with(10, 4, 1 << 30), "offset"},
      {"offset inside header", with(10, 4, 20), "offset"},
      {"info header", with(14, 4, 12), "info header"},
      {"cut pixel row", std::vector<unsigned char>(valid.begin(), valid.end() - 1), "truncated"},
      {"cut header", std::vector<unsigned char>(valid.begin(), valid.begin() + 30), "header"},
      {"empty file", {}, "header"},
  };
  for (const Case& c : cases) {
    const std::string name = scratch("bad.bmp");
    put_file(name, c.bytes);
    CaptureStdout();
    const image img = bitmap_read(name.c_str());
    const std::string report = GetCapturedStdout();
    EXPECT_EQ(img.numel, 0) << c.what;
    EXPECT_EQ(report.rfind(name + " -> (error)\tbitmap: ", 0), 0u) << c.what << ": " << report;
    EXPECT_NE(report.find(c.reason), std::string::npos) << c.what << ": " << report;
  }
}

TEST(Bitmap, PixelsAreReadFromTheStoredDataOffset)
{
  const image img = pattern(3, 2, 2);
  const std::string name = scratch("offset.bmp");
  CaptureStdout();
  bitmap_write(name.c_str(), img);
  GetCapturedStdout();
  std::vector<unsigned char> bytes = file_bytes(name);
  bytes.insert(bytes.begin() + 54, {0xEE, 0xEE, 0xEE, 0xEE});  // e.g. colour masks of a longer header
  bitmap_put(bytes.data() + 10, 4, 58);
  put_file(name, bytes);
  CaptureStdout();
  const image back = bitmap_read(name.c_str());
  GetCapturedStdout();
  ASSERT_EQ(back.numel, img.numel);
  EXPECT_EQ(0, std::memcmp(back.data, img.data, img.numel));
}

TEST(BitmapDeath, WritingNeedsAThreeOrFourChannelImage)
{
  const std::string name = scratch("x.bmp");  // made here, not in the dying child
  EXPECT_DEATH(bitmap_write(name.c_str(), image()), "_util/format:[0-9]+: .*Assertion `img\\.data' failed");
  EXPECT_DEATH(bitmap_write(name.c_str(), pattern(2, 1, 1)),
               "_util/format:[0-9]+: .*Assertion `img\\.size\\[0\\]==3\\|\\|img\\.size\\[0\\]==4' failed");
}
