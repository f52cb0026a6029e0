// The stand-in band object of the module tests (stand_in_band.cpp).
#pragma once

#include <atomic>

namespace bf_test {
extern std::atomic<int> stand_in_bands_alive;
}
