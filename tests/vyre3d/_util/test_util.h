// tests/vyre3d/_util/test_util: a private scratch folder per test process and small file
// helpers shared by the bitmap, mesh and asset suites.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, one per process (so that
// the Release and sanitizer runs never share files), removed at exit.
struct scratch_folder {
  std::string path;
  scratch_folder()
  {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vy_mesh_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    path = buf.data();
  }
  ~scratch_folder()
  {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

inline const std::string& scratch_dir()
{
  static const scratch_folder folder;
  return folder.path;
}

inline std::string scratch(const std::string& name) { return scratch_dir() + "/" + name; }

inline std::vector<unsigned char> file_bytes(const std::string& name)
{
  std::vector<unsigned char> bytes;
  if (FILE* f = std::fopen(name.c_str(), "rb")) {
    for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back((unsigned char)c);
    std::fclose(f);
  }
  return bytes;
}

inline void put_file(const std::string& name, const std::vector<unsigned char>& bytes)
{
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return;
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}
