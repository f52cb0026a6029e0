// Small PNG files for advertisement answers: one colour, 8-bit RGBA, stored without compression.
#pragma once

#include <cstdint>
#include <string>

namespace fakes {

std::string MakePng(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a);

}  // namespace fakes
