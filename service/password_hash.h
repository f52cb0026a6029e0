// Password hashing and randomness for the service: SHA-256, HMAC-SHA-256 and PBKDF2-HMAC-SHA-256
// (there is no crypto library among the dependencies), and random bytes from the kernel.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace bf::service {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256(std::string_view data);
Sha256Digest hmac_sha256(std::string_view key, std::string_view data);
// Derives `length` bytes. iterations must be at least 1.
std::string pbkdf2_hmac_sha256(std::string_view password, std::string_view salt, std::uint32_t iterations,
                               std::size_t length);

// Fills with bytes from getrandom(); false if the kernel cannot provide them.
bool random_bytes(void* out, std::size_t length);
// `bytes` random bytes as lower-case hex; empty on failure.
std::string random_hex(std::size_t bytes);
std::string to_hex(std::string_view bytes);
// Compares without an early exit, so that timing says nothing about where texts differ.
bool constant_time_equal(std::string_view a, std::string_view b);

}  // namespace bf::service
