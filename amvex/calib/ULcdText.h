// calib/ULcdText: conversion between host text (Windows code page 1251) and the
// codes of the device's 16-character display, both ways. Used by the display
// command and by the calibration record, whose name is stored in display codes.
#pragma once
#include "protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace amx {

extern const std::array<uint8_t, 256> TextToDisplay;  // indexed by a code-page 1251 character
extern const std::array<uint8_t, 256> DisplayToText;  // indexed by a display code

// Converts the first (at most 16) characters of the zero-terminated text to
// display codes; returns how many were written to codes. Neither table has an
// entry 0, so the count is the cut text's length.
size_t TextToDisplayCodes(const char* text, uint8_t codes[kLcdChars]);
// Converts n display codes back to text through DisplayToText.
std::string DisplayCodesToText(const uint8_t* codes, size_t n);

}  // namespace amx
