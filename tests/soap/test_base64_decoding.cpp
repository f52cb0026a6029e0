// Decoding base64Binary text, sixteen characters at a time where it can: every character value
// in every lane of a block, random mixtures against a plain one-character-at-a-time decoder,
// and the writer's own output (line breaks, padding) read back.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "soap/soap_schema.h"
#include "soap/value_codec.h"

using namespace bf::soap;

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// What the text means: alphabet characters in groups of four, everything else skipped, a zero
// unit ends it, two or three characters left over give one or two bytes.
std::vector<BYTE> plain(std::u16string_view text) {
    std::vector<BYTE> out;
    unsigned acc = 0;
    int have = 0;
    for (char16_t c : text) {
        if (c == 0) break;
        std::size_t v = c < 128 ? kAlphabet.find(static_cast<char>(c)) : std::string_view::npos;
        if (v == std::string_view::npos) continue;
        acc = acc << 6 | static_cast<unsigned>(v);
        if (++have == 4) {
            out.push_back(static_cast<BYTE>(acc >> 16));
            out.push_back(static_cast<BYTE>(acc >> 8));
            out.push_back(static_cast<BYTE>(acc));
            acc = 0;
            have = 0;
        }
    }
    if (have == 2) out.push_back(static_cast<BYTE>(acc >> 4));
    if (have == 3) {
        out.push_back(static_cast<BYTE>(acc >> 10));
        out.push_back(static_cast<BYTE>(acc >> 2));
    }
    return out;
}

std::vector<BYTE> decoded(std::u16string_view text) {
    CRuntimeHeap heap;
    BinaryValue b{0, nullptr};
    EXPECT_EQ(convertValue(Xsd::Base64Binary, text.data(), text.size(), &b, heap), S_OK);
    std::vector<BYTE> out(b.data, b.data + b.size);
    if (b.data) {
        EXPECT_GT(b.size, 0);  // bytes or nothing, never an empty allocation
    } else {
        EXPECT_EQ(b.size, 0);
    }
    releaseValue(Xsd::Base64Binary, &b, heap);
    return out;
}

std::u16string run(std::size_t n, unsigned seed) {
    std::u16string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char16_t>(kAlphabet[(i * 37 + seed) % 64]);
    return s;
}

TEST(Base64Decoding, EveryUnitValueInEveryLane) {
    // One unit replaced at each of the first 48 places of a 64-character run: the 32- and the
    // 16-character blocks, the whole groups before it, and the one-at-a-time path all see it.
    std::vector<char16_t> units;
    for (unsigned u = 0; u < 0x200; ++u) units.push_back(static_cast<char16_t>(u));
    for (char16_t u : {u'\x7FFF', u'\x8000', u'\xFF0B', u'\xFF0F', u'\xFF41', u'\xFFFF', u'\x012B', u'\x0141'})
        units.push_back(u);
    for (char16_t u : units) {
        for (std::size_t at = 0; at < 48; ++at) {
            std::u16string text = run(64, at);
            text[at] = u;
            ASSERT_EQ(decoded(text), plain(text)) << "unit " << unsigned(u) << " at " << at;
        }
    }
}

TEST(Base64Decoding, RandomMixturesMatchThePlainDecoder) {
    std::mt19937 rng(11);
    const char16_t noise[] = {u' ', u'\n', u'\r', u'\t', u'=', u'.', u'\x00E9', u'\x4E2D', u'\xFFFF', u'-', u'_'};
    for (int round = 0; round < 4000; ++round) {
        std::u16string text;
        std::size_t n = rng() % 120;
        for (std::size_t i = 0; i < n; ++i) {
            unsigned r = rng() % 100;
            if (r < 85) text += static_cast<char16_t>(kAlphabet[rng() % 64]);
            else if (r < 99) text += noise[rng() % std::size(noise)];
            else text += u'\0';  // ends the value
        }
        ASSERT_EQ(decoded(text), plain(text)) << "round " << round;
    }
}

TEST(Base64Decoding, WhatTheWriterWritesReadsBack) {
    std::mt19937 rng(5);
    for (unsigned options : {Base64::Default, Base64::NoLineBreaks, Base64::NoPadding}) {
        for (std::size_t n = 0; n <= 400; ++n) {
            std::vector<BYTE> bytes(n);
            for (BYTE& b : bytes) b = static_cast<BYTE>(rng());
            std::string text;
            appendBase64(text, bytes.data(), bytes.size(), options);
            std::u16string wide(text.begin(), text.end());
            ASSERT_EQ(decoded(wide), bytes) << "length " << n << " options " << options;
        }
    }
    // An advertisement's worth, with a line break every 76 characters.
    std::vector<BYTE> ad(64 * 1024);
    for (std::size_t i = 0; i < ad.size(); ++i) ad[i] = static_cast<BYTE>(i * 131 + 7);
    std::string text;
    appendBase64(text, ad.data(), ad.size());
    EXPECT_EQ(decoded(std::u16string(text.begin(), text.end())), ad);
}

}  // namespace
