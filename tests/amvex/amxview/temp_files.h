// amxview's tests: files of their own under the test's temporary folder.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

// A name no other test run shares: the process id in it.
inline std::string temp_path(const std::string& name)
{
  return ::testing::TempDir() + "amxview_" + std::to_string(getpid()) + "_" + name;
}

inline std::string slurp(const std::string& path)
{
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}
