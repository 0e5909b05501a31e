// amxhost: electrode names, the 10-20 defaults by channel count and montage
// files of one name per line.
#include "amxhost.h"

#include <algorithm>
#include <fstream>

namespace amxhost {

namespace {

// 10-20 positions, 10-10 ones where 19 are not enough. The 20- and 24-channel
// amplifiers take the first names of the 40-channel list; channel 20 is the
// right earlobe, the impedance test's default reference.
const char* const k16[] = {"Fp1", "Fp2", "F3", "F4", "C3", "C4", "P3", "P4",
                           "O1",  "O2",  "F7", "F8", "T7", "T8", "P7", "P8"};
const char* const k40[] = {"Fp1", "Fp2", "F7",  "F3",  "Fz",  "F4",  "F8",  "T7",  "C3",  "Cz",
                           "C4",  "T8",  "P7",  "P3",  "Pz",  "P4",  "P8",  "O1",  "O2",  "A2",
                           "Fpz", "Oz",  "FCz", "CPz", "AF3", "AF4", "FC1", "FC2", "FC5", "FC6",
                           "CP1", "CP2", "CP5", "CP6", "PO3", "PO4", "F1",  "F2",  "P1",  "P2"};

}  // namespace

std::vector<std::string> default_montage(int channels)
{
  std::vector<std::string> names;
  for (int c = 0; c < channels; ++c)
    names.push_back(channels == 16                                       ? k16[c]
                    : channels == 20 || channels == 24 || channels == 40 ? k40[c]
                                                                         : "Ch" + std::to_string(c + 1));
  return names;
}

bool read_montage(const std::string& path, int channels, std::vector<std::string>& names, std::string& error)
{
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the montage " + path;
    return false;
  }
  std::vector<std::string> read;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const size_t a = line.find_first_not_of(" \t\r"), b = line.find_last_not_of(" \t\r");
    if (a == std::string::npos || line[a] == '#') continue;
    const std::string name = line.substr(a, b - a + 1);
    const char* why = name.size() > 16 ? "longer than 16 characters (a BDF+ label)"
                      : std::any_of(name.begin(), name.end(), [](char ch) { return ch < 0x20 || ch > 0x7E; })
                          ? "not printable ASCII"
                      : std::find(read.begin(), read.end(), name) != read.end() ? "given twice"
                      : static_cast<int>(read.size()) == channels               ? "beyond the device's channels"
                                                                                : nullptr;
    if (why) {
      error = path + " line " + std::to_string(number) + ": \"" + name + "\" " + why;
      return false;
    }
    read.push_back(name);
  }
  // A folder opens as a file here but cannot be read: refused, not taken as empty.
  if (in.bad()) {
    error = "cannot read the montage " + path;
    return false;
  }
  // Channels the file leaves out keep their number as name.
  for (int c = static_cast<int>(read.size()); c < channels; ++c) read.push_back("Ch" + std::to_string(c + 1));
  names = read;
  return true;
}

}  // namespace amxhost
