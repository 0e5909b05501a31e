// Helpers shared by the numeric-core suites: the death-test pattern of a failed
// contract, captured standard output, and scratch files.
#pragma once
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
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

inline std::string scratch(const std::string& name)
{
  return testing::TempDir() + "vy_util_" + std::to_string(::getpid()) + "_" + name;
}

inline std::vector<unsigned char> file_bytes(const std::string& path)
{
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void put_bytes(const std::string& path, const std::vector<unsigned char>& b)
{
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}
