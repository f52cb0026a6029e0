// How a fuzz input is laid out: byte 0 picks the mode, byte 1 (low three bits) the number of
// chunk sizes that follow, one byte each (1..256); the rest is the document, which the stream
// then hands out in reads of those sizes, in turn, so that the reader sees it cut at places the
// fuzzer chooses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <windef.h>

struct FuzzInput {
    unsigned mode = 0;
    std::vector<ULONG> chunks;
    std::string document;

    bool read(const std::uint8_t* data, std::size_t size) {
        if (size < 2) return false;
        mode = data[0];
        std::size_t count = data[1] & 7u;
        if (size < 2 + count) return false;
        for (std::size_t i = 0; i < count; ++i) chunks.push_back(1u + data[2 + i]);
        document.assign(reinterpret_cast<const char*>(data) + 2 + count, size - 2 - count);
        return true;
    }
};
