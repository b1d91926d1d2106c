#pragma once
// SHA-256 of a stream of bytes: what a downloaded or shipped file is pinned to, and how a file held
// open is known to be the one written.

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
public:
    // instructions false: the portable code even where the processor has SHA instructions (tests).
    explicit Sha256(bool instructions = true) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, size_t size) noexcept;
    // The digest of everything given; the hash is used up.
    void Finish(Sha256Digest* digest) noexcept;

private:
    void Blocks(const uint8_t* blocks, size_t count) noexcept;
    void Block(const uint8_t* block) noexcept;

    uint32_t state_[8];
    uint8_t buffer_[64] = {};
    size_t used_ = 0;
    uint64_t length_ = 0;
    bool instructions_ = false;
};

// Lower-case hexadecimal, as the pins are written.
std::string ToHex(const Sha256Digest& digest);

// The digest of a file's contents from its current position to its end, read through `file`.
bool HashRest(HANDLE file, Sha256Digest* digest) noexcept;
