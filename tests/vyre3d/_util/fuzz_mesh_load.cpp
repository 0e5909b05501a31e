// tests/vyre3d/_util/fuzz_mesh_load: writes a vertex file and one element file made from
// the input, loads them as a renderable mesh and runs the geometry loops on
// whatever loads; every mesh that loads must be safe to draw.
// Byte 0: element kind (low 3 bits) and mode (bit 3: raw files; else shaped
// headers with fuzzed contents); byte 1: stride; bytes 2-3: vertex file length.
// Builds on _util/meshgl.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>
#include "_util/meshgl.h"

static std::string base;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  char dir[] = "/tmp/vy_fuzz_mesh_XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  base = std::string(dir) + "/m";
  static const std::string folder = dir;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  });
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();  // the readers report every file
  return 0;
}

// Writes a file: raw bytes, or a 2-D tensor header (rows x as many columns as
// the bytes fill) followed by the bytes.
static void put(const std::string& name, const uint8_t* data, size_t size, bool raw, int rows)
{
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) std::abort();
  if (!raw) {
    const int cols = rows > 0 ? (int)(size / 4 / rows) : 0;
    const int head[3] = {2, rows, cols};
    std::fwrite(head, 4, 3, f);
    size = (size_t)rows * cols * 4;
  }
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size < 4) return 0;
  const int kind = data[0] % MESH_KINDS;
  const bool raw = data[0] & 8;
  const int stride = data[1] % 16;
  size_t arr_len = data[2] | data[3] << 8;
  data += 4, size -= 4;
  if (arr_len > size) arr_len = size;
  for (int k = 0; k < MESH_KINDS; k++) std::remove((base + "_" + std::to_string(k) + ".ind").c_str());
  put(base + ".arr", data, arr_len, raw, stride);
  put(base + "_" + std::to_string(kind) + ".ind", data + arr_len, size - arr_len, raw, mesh_kind_size[kind]);

  meshgl m(base.c_str());
  if (!m.indices_fit()) __builtin_trap();  // what loads must be safe to draw
  if (!m.vertex_count()) return 0;
  double vol;
  m.volume(vol);
  m.inertia();
  m.bbox();
  m.vertices();
  if (meshgl_find_format(m.format)->nrm < 0) return 0;  // describe and normals need normals
  m.describe();
  m.normals();
  return 0;
}
