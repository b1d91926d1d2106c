#pragma once
// SHA-256 of a stream of bytes, by the system's own provider: what a downloaded or shipped file is
// pinned to, and how a file held open is known to be the one written.

#include <windows.h>
// after windows.h, which it needs
#include <wincrypt.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
public:
    Sha256() noexcept;
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // False once anything failed (no provider: Windows XP before SP3).
    bool Update(const void* data, size_t size) noexcept;
    // The digest of everything given; false when it cannot be had. The hash is used up.
    bool Finish(Sha256Digest* digest) noexcept;

private:
    HCRYPTPROV provider_ = 0;
    HCRYPTHASH hash_ = 0;
    bool ok_ = false;
};

// Lower-case hexadecimal, as the pins are written.
std::string ToHex(const Sha256Digest& digest);

// The digest of a file's contents from its current position to its end, read through `file`.
bool HashRest(HANDLE file, Sha256Digest* digest) noexcept;
