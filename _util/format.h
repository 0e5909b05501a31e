// _util/format: bitmap files. Stores 8-bit image tensors (channel, column, row) as
// uncompressed 24- or 32-bit BMP files and reads them back, reporting each file on
// standard output like the tensor files. Builds on _util/tensor.
#pragma once
#include <climits>
#include <cstdint>
#include <cstdio>
#include <vector>
#include "_util/contract.h"
#include "_util/tensor.h"

inline const int BITMAP_HEADER = 54;  // file header (14) + info header (40)

inline void bitmap_put(unsigned char* at, int bytes, int64_t value)
{
  for (int b = 0; b < bytes; b++) at[b] = (unsigned char)(value >> (8 * b));
}

// Little-endian field of 2 or 4 bytes, sign-extended from 32 bits.
inline int64_t bitmap_get(const unsigned char* at, int bytes)
{
  uint32_t v = 0;
  for (int b = bytes - 1; b >= 0; b--) v = v << 8 | at[b];
  return bytes == 4 ? (int64_t)(int32_t)v : (int64_t)v;
}

// Rows are padded to a multiple of 4 bytes; resid is what the row overhangs by.
inline int bitmap_resid(int64_t channels, int64_t width) { return (int)(channels * width % 4); }
inline int bitmap_pad(int64_t channels, int64_t width)
{
  int resid = bitmap_resid(channels, width);
  return resid ? 4 - resid : 0;
}

// Writes img (channels 3 or 4, width, height; row 0 stored first) and returns the
// character count of the report line. Any byte element type will do.
template <class T>
int bitmap_write(const char* name, const tensor<T>& img)
{
  static_assert(sizeof(T) == 1, "bitmap images hold bytes");
  VY_CONTRACT(img.data, "_util/format");
  VY_CONTRACT(img.ndims==3, "_util/format");
  VY_CONTRACT(img.size[0]==3||img.size[0]==4, "_util/format");
  const int ch = img.size[0], width = img.size[1], height = img.size[2];
  const int resid = bitmap_resid(ch, width), row = ch * width + bitmap_pad(ch, width);
  const int64_t file_size = (int64_t)row * height + BITMAP_HEADER;

  FILE* f = std::fopen(name, "wb");
  if (!f) return std::printf("%s <- (error)\n", name);
  unsigned char head[BITMAP_HEADER] = {'B', 'M'};
  const int64_t fields[][3] = {// offset, bytes, value
                               {2, 4, file_size},  {6, 4, 0},       {10, 4, BITMAP_HEADER},
                               {14, 4, 40},        {18, 4, width},  {22, 4, height},
                               {26, 2, 1},         {28, 2, 8 * ch}, {30, 4, 0},
                               {34, 4, img.numel}, {38, 4, 50190},  {42, 4, 50190},
                               {46, 4, 0},         {50, 4, 0}};
  for (const auto& fd : fields) bitmap_put(head + fd[0], (int)fd[1], fd[2]);
  bool written = std::fwrite(head, 1, sizeof head, f) == sizeof head;

  // Pixels go out as blue, green, red (alpha); the pad bytes are those of the
  // little-endian value 54, as the format's writers have always put there.
  std::vector<unsigned char> line(row, 0);
  if (row > ch * width) line[ch * width] = BITMAP_HEADER;
  const unsigned char* px = (const unsigned char*)img.data;
  for (int y = 0; y < height && written; y++) {
    for (int x = 0; x < width; x++, px += ch) {
      unsigned char* out = &line[ch * x];
      out[0] = px[2], out[1] = px[1], out[2] = px[0];
      if (ch == 4) out[3] = px[3];
    }
    written = std::fwrite(line.data(), 1, row, f) == (size_t)row;
  }
  written = (std::fclose(f) == 0) && written;
  if (!written) return std::printf("%s <- (error)\n", name);
  return std::printf("%s <-\tbitmap[RGB%sx%dx%d] = %d B (resid=%i)\n", name, ch == 4 ? "A" : "", width, height,
                     (int)file_size, resid);
}

// Decodes a whole bitmap file held in memory. Every size is checked against the
// bytes present before it is used, so a damaged or hostile file cannot make the
// reader allocate absurdly or read outside the buffer. On failure the result is
// the empty tensor and *why names the reason.
inline tensor<unsigned char> bitmap_decode(const unsigned char* b, size_t n, const char** why)
{
  auto fail = [&](const char* reason) {
    *why = reason;
    return tensor<unsigned char>();
  };
  if (n < (size_t)BITMAP_HEADER) return fail("shorter than a bitmap header");
  if (b[0] != 'B' || b[1] != 'M') return fail("not a bitmap (no BM signature)");
  const int64_t offset = bitmap_get(b + 10, 4), info = bitmap_get(b + 14, 4);
  const int64_t width = bitmap_get(b + 18, 4), height = bitmap_get(b + 22, 4);
  const int64_t bits = bitmap_get(b + 28, 2), compression = bitmap_get(b + 30, 4);
  const int64_t colours = bitmap_get(b + 46, 4);
  if (info < 40 || info > (int64_t)n) return fail("unknown info header size");
  if (bits != 24 && bits != 32) return fail("only 24 and 32 bits per pixel are read");
  if (compression) return fail("compressed pixel data is not read");
  if (colours) return fail("palettes are not read");
  if (width < 0 || height < 0) return fail("negative size (top-down rows are not read)");
  const int64_t ch = bits / 8, row = ch * width + bitmap_pad(ch, width);
  if (ch * width > INT_MAX || ch * width * height > INT_MAX) return fail("image too large");
  // The pixels start at the stored offset, which lies past both headers.
  if (offset < 14 + info || offset > (int64_t)n) return fail("pixel data offset outside the file");
  if (row * height > (int64_t)n - offset) return fail("truncated pixel data");

  tensor<unsigned char> img(3, (int)ch, (int)width, (int)height);
  unsigned char* px = img.data;
  for (int64_t y = 0; y < height; y++) {
    const unsigned char* in = b + offset + y * row;
    for (int64_t x = 0; x < width; x++, px += ch, in += ch) {
      px[2] = in[0], px[1] = in[1], px[0] = in[2];
      if (ch == 4) px[3] = in[3];
    }
  }
  return img;
}

// Reads a bitmap file. A file that cannot be opened or is not a bitmap this reader
// handles gives a message and an image with numel 0; the process goes on.
inline tensor<unsigned char> bitmap_read(const char* name)
{
  FILE* f = std::fopen(name, "rb");
  if (!f) {
    std::printf("%s <- (error)\n", name);
    return tensor<unsigned char>();
  }
  std::vector<unsigned char> bytes;
  unsigned char chunk[65536];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + got);
  std::fclose(f);

  const char* why = nullptr;
  tensor<unsigned char> img = bitmap_decode(bytes.data(), bytes.size(), &why);
  if (why) {
    std::printf("%s -> (error)\tbitmap: %s\n", name, why);
    return img;
  }
  std::printf("%s ->\tbitmap[RGB%sx%dx%d] = %d B (resid=%i)\n", name, img.size[0] == 4 ? "A" : "", img.size[1],
              img.size[2], (int)bitmap_get(bytes.data() + 2, 4), bitmap_resid(img.size[0], img.size[1]));
  return img;
}
