// vyre3d/make_assets: writes the program's data tree (get/...) with the project's
// own mesh and tensor writers, then reads every file back to check it.
// Usage: make_assets [DIR]   (DIR defaults to "get"). Builds on vyre3d/make_assets/mesh_assets.h
// vyre3d/make_assets/font_asset.h and vyre3d/make_assets/scene_assets.h.
#include <cstdio>
#include <filesystem>
#include <string>
#include "vyre3d/make_assets/font_asset.h"
#include "vyre3d/make_assets/mesh_assets.h"
#include "vyre3d/make_assets/scene_assets.h"

// Writes m under base name `base` and loads it back; 1 when the files hold m.
static int write_mesh(const std::string& base, const meshgl& m)
{
  m.write(base.c_str());
  const meshgl back(base.c_str());
  bool same = mesh::ok && back.format == m.format && back.arr.numel == m.arr.numel;
  for (int c = 0; same && c < m.arr.numel; c++) same = back.arr.data[c] == m.arr.data[c];
  for (int k = 0; same && k < MESH_KINDS; k++) {
    same = back.ind[k].numel == m.ind[k].numel;
    for (int c = 0; same && c < m.ind[k].numel; c++) same = back.ind[k].data[c] == m.ind[k].data[c];
  }
  if (!same)
    std::fprintf(stderr, "error make_assets: %s does not read back as written\n", base.c_str());
  else
    std::printf("%s\n", back.describe());
  return same;
}

// Writes the font tensor and reads it back; 1 when the file holds it.
static int write_font(const std::string& name)
{
  const tensor<unsigned char> f = asset_font();
  f.write(name.c_str());
  const tensor<unsigned char> back(name.c_str());
  bool same = tensor<unsigned char>::ok && back.ndims == f.ndims && back.numel == f.numel;
  for (int k = 0; same && k < f.ndims; k++) same = back.size[k] == f.size[k];
  for (int c = 0; same && c < f.numel; c++) same = back.data[c] == f.data[c];
  if (!same) std::fprintf(stderr, "error make_assets: %s does not read back as written\n", name.c_str());
  return same;
}

// Writes the six curves and reads each back; 1 when the files hold them.
static int write_curves(const std::string& dir)
{
  bool good = true;
  for (int p = 1; p <= asset_curve_count; p++) {
    const std::string name = dir + "/tensor/curve" + std::to_string(p) + ".arr";
    const tensor<double> c = asset_curve(p);
    c.write(name.c_str());
    const tensor<double> back(name.c_str());
    bool same = tensor<double>::ok && back.ndims == 2 && back.numel == c.numel && back.size[1] == 3;
    for (int k = 0; same && k < c.numel; k++) same = back.data[k] == c.data[k];
    if (!same) std::fprintf(stderr, "error make_assets: %s does not read back as written\n", name.c_str());
    good = good && same;
  }
  return good;
}

// Writes a text file; 1 when it was written whole.
static int write_text(const std::string& name, const char* text)
{
  const std::string s = text;
  std::FILE* f = std::fopen(name.c_str(), "wb");
  bool good = f && std::fwrite(s.data(), 1, s.size(), f) == s.size();
  if (f && std::fclose(f)) good = false;
  if (!good) std::fprintf(stderr, "error make_assets: cannot write %s\n", name.c_str());
  return good;
}

int main(int argc, char** argv)
{
  const std::string dir = argc > 1 ? argv[1] : "get";
  std::error_code ec;
  for (const char* sub : {"/mesh", "/tensor", "/shader"}) {
    std::filesystem::create_directories(dir + sub, ec);
    if (ec) {
      std::fprintf(stderr, "error make_assets: cannot create %s%s: %s\n", dir.c_str(), sub, ec.message().c_str());
      return 1;
    }
  }
  bool good = write_mesh(dir + "/mesh/plane_460_tnv", asset_plane());
  good = write_mesh(dir + "/mesh/sphere_896_tnv", asset_sphere()) && good;
  good = write_font(dir + "/tensor/white11x07.font") && good;
  good = write_curves(dir) && good;
  good = write_text(dir + "/shader/tint.vert", asset_shader_vert) && good;
  good = write_text(dir + "/shader/tint.frag", asset_shader_frag) && good;
  return good ? 0 : 1;
}
