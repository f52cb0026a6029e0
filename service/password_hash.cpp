#include "service/password_hash.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bf::service {
namespace {

constexpr std::uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

class Sha256 {
public:
    void update(const std::uint8_t* p, std::size_t n) {
        total_ += n;
        while (n > 0) {
            std::size_t take = std::min(n, sizeof block_ - used_);
            std::memcpy(block_ + used_, p, take);
            used_ += take;
            p += take;
            n -= take;
            if (used_ == sizeof block_) {
                compress();
                used_ = 0;
            }
        }
    }
    void update(std::string_view s) { update(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }

    Sha256Digest finish() {
        std::uint64_t bits = total_ * 8;
        std::uint8_t pad = 0x80;
        update(&pad, 1);
        std::uint8_t zero = 0;
        while (used_ != 56) update(&zero, 1);
        std::uint8_t len[8];
        for (int i = 0; i < 8; ++i) len[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
        update(len, 8);
        Sha256Digest out;
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<std::uint8_t>(h_[i] >> (24 - 8 * j));
        return out;
    }

private:
    void compress() {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = std::uint32_t(block_[4 * i]) << 24 | std::uint32_t(block_[4 * i + 1]) << 16 |
                   std::uint32_t(block_[4 * i + 2]) << 8 | block_[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[i] + w[i];
            std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += h;
    }

    std::uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::uint8_t block_[64] = {};
    std::size_t used_ = 0;
    std::uint64_t total_ = 0;
};

std::string_view view(const Sha256Digest& d) { return {reinterpret_cast<const char*>(d.data()), d.size()}; }

// HMAC with the key's inner and outer pads hashed once; PBKDF2 reuses them for every iteration.
class Hmac {
public:
    explicit Hmac(std::string_view key) {
        std::uint8_t k[64] = {};
        if (key.size() > 64) {
            Sha256Digest d = sha256(key);
            std::memcpy(k, d.data(), d.size());
        } else {
            std::memcpy(k, key.data(), key.size());
        }
        std::uint8_t ipad[64], opad[64];
        for (int i = 0; i < 64; ++i) ipad[i] = k[i] ^ 0x36, opad[i] = k[i] ^ 0x5c;
        inner_.update(ipad, 64);
        outer_.update(opad, 64);
    }
    Sha256Digest mac(std::string_view data) const {
        Sha256 in = inner_;
        in.update(data);
        Sha256Digest d = in.finish();
        Sha256 out = outer_;
        out.update(d.data(), d.size());
        return out.finish();
    }

private:
    Sha256 inner_, outer_;
};

}  // namespace

Sha256Digest sha256(std::string_view data) {
    Sha256 s;
    s.update(data);
    return s.finish();
}

Sha256Digest hmac_sha256(std::string_view key, std::string_view data) { return Hmac(key).mac(data); }

std::string pbkdf2_hmac_sha256(std::string_view password, std::string_view salt, std::uint32_t iterations,
                               std::size_t length) {
    if (iterations == 0) iterations = 1;
    Hmac prf(password);
    std::string out;
    out.reserve(length);
    for (std::uint32_t block = 1; out.size() < length; ++block) {
        std::string first(salt);
        for (int i = 3; i >= 0; --i) first.push_back(static_cast<char>(block >> (8 * i)));
        Sha256Digest u = prf.mac(first);
        Sha256Digest t = u;
        for (std::uint32_t i = 1; i < iterations; ++i) {
            u = prf.mac(view(u));
            for (std::size_t j = 0; j < t.size(); ++j) t[j] ^= u[j];
        }
        out.append(view(t).substr(0, std::min(t.size(), length - out.size())));
    }
    return out;
}

bool random_bytes(void* out, std::size_t length) {
    auto* p = static_cast<unsigned char*>(out);
    while (length > 0) {
        ssize_t n = getrandom(p, length, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string to_hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 15]);
    }
    return out;
}

std::string random_hex(std::size_t bytes) {
    std::string raw(bytes, '\0');
    if (!random_bytes(raw.data(), raw.size())) return {};
    return to_hex(raw);
}

bool constant_time_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace bf::service
