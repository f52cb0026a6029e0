// Credentials of the service, all through well-kept libraries: new password hashes are
// libsodium's Argon2id texts; records from before (PBKDF2-HMAC-SHA-256 with a per-account salt)
// verify through OpenSSL's PBKDF2 and ask to be replaced; random bytes come from libsodium's
// source; session ids are stored as their SHA-256 (libsodium), the same digest as ever, so
// stored sessions stay valid.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bf::service {

// Work of a new Argon2id hash. The default is libsodium's interactive limits; only an explicit
// setting (tests, a deployment that wants more) changes it.
struct PasswordLimits {
    unsigned long long opsLimit;
    std::size_t memLimit;  // bytes
    static PasswordLimits interactive() noexcept;
    // The least libsodium accepts: for tests, which sign in often.
    static PasswordLimits minimum() noexcept;
};

// A new Argon2id hash of `password` as libsodium's self-describing text ("$argon2id$v=19$m=...");
// it carries its salt and limits. Nothing when the limits are out of range or memory is short.
std::optional<std::string> hash_password(std::string_view password,
                                         const PasswordLimits& limits = PasswordLimits::interactive());

// What a store keeps for an account. New records: `hash` is an Argon2id text, `saltHex` empty
// and `iterations` 0. Records from before: `hash` is the 32-byte PBKDF2-HMAC-SHA-256 key as hex,
// `saltHex` its salt as hex, `iterations` its work factor.
struct StoredPassword {
    std::string hash;
    std::string saltHex;
    std::uint64_t iterations = 0;
};

struct PasswordCheck {
    bool ok = false;            // the password is right
    bool needsUpgrade = false;  // right, and the record should be replaced by hash_password's
    bool unreadable = false;    // the record is neither kind (a damaged store): not a wrong password
};

// Checks `password` against a stored record without an early exit on the secret parts. A right
// password in a PBKDF2 record, or in an Argon2id text whose limits differ from `limits`, needs
// an upgrade.
PasswordCheck verify_password(const StoredPassword& stored, std::string_view password,
                              const PasswordLimits& limits = PasswordLimits::interactive());

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256(std::string_view data);
Sha256Digest hmac_sha256(std::string_view key, std::string_view data);
// Derives `length` bytes (iterations 0 counts as 1); empty when OpenSSL refuses.
std::string pbkdf2_hmac_sha256(std::string_view password, std::string_view salt, std::uint32_t iterations,
                               std::size_t length);

// Fills with bytes from libsodium's random source; false if the library cannot start.
bool random_bytes(void* out, std::size_t length);
// `bytes` random bytes as lower-case hex; empty on failure.
std::string random_hex(std::size_t bytes);
std::string to_hex(std::string_view bytes);
// Compares without an early exit, so that timing says nothing about where texts differ.
bool constant_time_equal(std::string_view a, std::string_view b);

}  // namespace bf::service
