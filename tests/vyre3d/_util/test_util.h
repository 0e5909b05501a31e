// tests/vyre3d/_util/test_util: helpers shared by the template library's suites:
// the death-test pattern of a failed contract, captured standard output, and
// scratch files in a private folder per test process.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// Pattern of the assertion report of a failed contract: "path:line: ...Assertion `expr' failed".
inline std::string contract_re(const std::string& path, const std::string& expr)
{
  std::string e;
  for (char c : expr) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) e += '\\';
    e += c;
  }
  return path + ":[0-9]+: .*Assertion `" + e + "' failed";
}

// Standard output written while running f.
template <class F>
std::string stdout_of(F f)
{
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  f();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// A fresh folder under the system's temporary folder, one per process (so that
// the Release and sanitizer runs never share files), removed at exit.
struct scratch_folder {
  std::string path;
  scratch_folder()
  {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vy_util_XXXXXX";
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
