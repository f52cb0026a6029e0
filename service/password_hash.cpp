#include "service/password_hash.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <climits>
#include <cstring>

namespace bf::service {
namespace {

constexpr std::string_view kArgon2idPrefix = "$argon2id$";
constexpr std::size_t kPbkdf2KeyBytes = 32;
// A damaged record must not make one sign-in run for hours.
constexpr std::uint64_t kMaxPbkdf2Iterations = 100000000;

// sodium_init is safe to call from several threads and more than once; it fails only when the
// random source cannot be opened.
bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> fromHex(std::string_view hex) {
    if (hex.size() % 2) return std::nullopt;
    std::string out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int hi = hexDigit(hex[i]), lo = hexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

PasswordCheck checkArgon2id(const std::string& text, std::string_view password, const PasswordLimits& limits) {
    PasswordCheck c;
    // libsodium reads the text as a C string of less than crypto_pwhash_STRBYTES.
    if (text.compare(0, kArgon2idPrefix.size(), kArgon2idPrefix) != 0 || text.size() >= crypto_pwhash_STRBYTES ||
        text.find('\0') != std::string::npos) {
        c.unreadable = true;
        return c;
    }
    int rehash = crypto_pwhash_str_needs_rehash(text.c_str(), limits.opsLimit, limits.memLimit);
    if (rehash < 0) {
        c.unreadable = true;
        return c;
    }
    c.ok = crypto_pwhash_str_verify(text.c_str(), password.data(), password.size()) == 0;
    c.needsUpgrade = c.ok && rehash != 0;
    return c;
}

PasswordCheck checkPbkdf2(const StoredPassword& stored, std::string_view password) {
    PasswordCheck c;
    std::optional<std::string> salt = fromHex(stored.saltHex);
    std::optional<std::string> key = fromHex(stored.hash);
    if (!salt || !key || key->size() != kPbkdf2KeyBytes || stored.iterations < 1 ||
        stored.iterations > kMaxPbkdf2Iterations) {
        c.unreadable = true;
        return c;
    }
    std::string derived = pbkdf2_hmac_sha256(password, *salt, static_cast<std::uint32_t>(stored.iterations),
                                             kPbkdf2KeyBytes);
    if (derived.size() != kPbkdf2KeyBytes) {
        c.unreadable = true;
        return c;
    }
    c.ok = sodium_memcmp(derived.data(), key->data(), kPbkdf2KeyBytes) == 0;
    c.needsUpgrade = c.ok;
    sodium_memzero(derived.data(), derived.size());
    return c;
}

}  // namespace

PasswordLimits PasswordLimits::interactive() noexcept {
    return {crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE, crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE};
}

PasswordLimits PasswordLimits::minimum() noexcept {
    return {crypto_pwhash_argon2id_OPSLIMIT_MIN, crypto_pwhash_argon2id_MEMLIMIT_MIN};
}

std::optional<std::string> hash_password(std::string_view password, const PasswordLimits& limits) {
    if (!sodiumReady()) return std::nullopt;
    char out[crypto_pwhash_STRBYTES];
    // The algorithm is named rather than left to the library's default, so that a future
    // default cannot change what new records are.
    if (crypto_pwhash_str_alg(out, password.data(), password.size(), limits.opsLimit, limits.memLimit,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return std::nullopt;
    return std::string(out);
}

PasswordCheck verify_password(const StoredPassword& stored, std::string_view password, const PasswordLimits& limits) {
    if (!sodiumReady()) return PasswordCheck{false, false, true};
    if (stored.iterations == 0 && stored.saltHex.empty()) return checkArgon2id(stored.hash, password, limits);
    return checkPbkdf2(stored, password);
}

Sha256Digest sha256(std::string_view data) {
    Sha256Digest d{};
    crypto_hash_sha256(d.data(), reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return d;
}

Sha256Digest hmac_sha256(std::string_view key, std::string_view data) {
    Sha256Digest d{};
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(key.data()), key.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    crypto_auth_hmacsha256_final(&state, d.data());
    sodium_memzero(&state, sizeof state);
    return d;
}

std::string pbkdf2_hmac_sha256(std::string_view password, std::string_view salt, std::uint32_t iterations,
                               std::size_t length) {
    if (iterations == 0) iterations = 1;
    if (password.size() > INT_MAX || salt.size() > INT_MAX || length > INT_MAX || iterations > INT_MAX) return {};
    std::string out(length, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          static_cast<int>(iterations), EVP_sha256(), static_cast<int>(length),
                          reinterpret_cast<unsigned char*>(out.data())) != 1)
        return {};
    return out;
}

bool random_bytes(void* out, std::size_t length) {
    if (!sodiumReady()) return false;
    randombytes_buf(out, length);
    return true;
}

std::string to_hex(std::string_view bytes) {
    std::string out(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    out.pop_back();
    return out;
}

std::string random_hex(std::size_t bytes) {
    std::string raw(bytes, '\0');
    if (!random_bytes(raw.data(), raw.size())) return {};
    std::string hex = to_hex(raw);
    sodium_memzero(raw.data(), raw.size());
    return hex;
}

bool constant_time_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    return a.empty() || sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace bf::service
