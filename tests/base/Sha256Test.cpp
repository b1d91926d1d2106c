#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "base/Sha256.h"

// The published test vectors, whole and fed a byte at a time: the blocks, the padding and the
// length add up however the bytes come, with the processor's SHA instructions (where it has them)
// and without.
TEST(Sha256, KnownDigestsWholeAndInPieces) {
    const struct {
        std::string data;
        const char* hex;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const bool instructions : {true, false}) {
        SCOPED_TRACE(instructions ? "instructions" : "portable");
        for (const auto& c : cases) {
            Sha256 whole(instructions);
            Sha256Digest digest = {};
            whole.Update(c.data.data(), c.data.size());
            whole.Finish(&digest);
            EXPECT_EQ(ToHex(digest), c.hex);
            Sha256 pieces(instructions);
            for (const char byte : c.data) pieces.Update(&byte, 1);
            pieces.Finish(&digest);
            EXPECT_EQ(ToHex(digest), c.hex);
        }
    }
}

namespace {

const std::string kThousand(1000, 'a');

DWORD WINAPI HashOnThread(void* digest) {
    Sha256 sha;
    sha.Update(kThousand.data(), kThousand.size());
    sha.Finish(static_cast<Sha256Digest*>(digest));
    return 0;
}

}  // namespace

// A thread Windows starts has its stack aligned to 4 bytes only, where the SHA instructions' code
// keeps 16-byte values: the hash must realign for itself.
TEST(Sha256, HashesOnAThreadOfItsOwn) {
    Sha256Digest onThread = {};
    const HANDLE thread = ::CreateThread(nullptr, 0, HashOnThread, &onThread, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ::WaitForSingleObject(thread, INFINITE);
    DWORD code = 1;
    ::GetExitCodeThread(thread, &code);
    ::CloseHandle(thread);
    EXPECT_EQ(code, 0u);
    Sha256Digest portable = {};
    Sha256 sha(false);
    sha.Update(kThousand.data(), kThousand.size());
    sha.Finish(&portable);
    EXPECT_EQ(ToHex(onThread), ToHex(portable));
}
