#include "base/Sha256.h"

#include <vector>

namespace {
// Declared by the headers only for Windows XP SP3 and later, which has it.
constexpr ALG_ID kSha256 = ALG_CLASS_HASH | ALG_TYPE_ANY | 12;
}  // namespace

Sha256::Sha256() noexcept {
    // The AES provider is the one with SHA-256 (Windows XP SP3 and later).
    ok_ = ::CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT) &&
          ::CryptCreateHash(provider_, kSha256, 0, 0, &hash_);
}

Sha256::~Sha256() {
    if (hash_ != 0) ::CryptDestroyHash(hash_);
    if (provider_ != 0) ::CryptReleaseContext(provider_, 0);
}

bool Sha256::Update(const void* data, size_t size) noexcept {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    // CryptHashData takes 32-bit lengths.
    while (ok_ && size > 0) {
        const DWORD piece = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        ok_ = ::CryptHashData(hash_, bytes, piece, 0) != FALSE;
        bytes += piece;
        size -= piece;
    }
    return ok_;
}

bool Sha256::Finish(Sha256Digest* digest) noexcept {
    DWORD length = static_cast<DWORD>(digest->size());
    ok_ = ok_ && ::CryptGetHashParam(hash_, HP_HASHVAL, digest->data(), &length, 0) && length == digest->size();
    return ok_;
}

std::string ToHex(const Sha256Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 15]);
    }
    return text;
}

bool HashRest(HANDLE file, Sha256Digest* digest) noexcept {
    Sha256 sha;
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
        if (read == 0) break;
        if (!sha.Update(buffer.data(), read)) return false;
    }
    return sha.Finish(digest);
}
