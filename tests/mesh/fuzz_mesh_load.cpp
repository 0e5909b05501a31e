// tests/mesh/fuzz_mesh_load: splits the input into a vertex file and one element
// file, loads them as a renderable mesh and runs the geometry loops on whatever
// loads. Byte 0 picks the element kind, bytes 1-2 the length of the vertex file.
// Builds on _util/meshgl.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include "_util/meshgl.h"

static std::string base;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  char dir[] = "/tmp/vy_fuzz_mesh_XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  base = std::string(dir) + "/m";
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();  // the readers report every file
  return 0;
}

static void put(const std::string& name, const uint8_t* data, size_t size)
{
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size < 3) return 0;
  const int kind = data[0] % MESH_KINDS;
  size_t arr_len = data[1] | data[2] << 8;
  data += 3, size -= 3;
  if (arr_len > size) arr_len = size;
  for (int k = 0; k < MESH_KINDS; k++) std::remove((base + "_" + std::to_string(k) + ".ind").c_str());
  put(base + ".arr", data, arr_len);
  put(base + "_" + std::to_string(kind) + ".ind", data + arr_len, size - arr_len);

  meshgl m(base.c_str());
  if (!m.indices_fit()) __builtin_trap();  // what loads must be safe to draw
  if (!m.vertex_count()) return 0;
  double vol;
  m.volume(vol);
  m.inertia();
  m.bbox();
  if (meshgl_find_format(m.format)->nrm < 0) return 0;  // describe and normals need normals
  m.describe();
  m.normals();
  return 0;
}
