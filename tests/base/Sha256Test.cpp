#include <gtest/gtest.h>

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
            ASSERT_TRUE(whole.Update(c.data.data(), c.data.size()) && whole.Finish(&digest));
            EXPECT_EQ(ToHex(digest), c.hex);
            Sha256 pieces(instructions);
            for (const char byte : c.data) ASSERT_TRUE(pieces.Update(&byte, 1));
            ASSERT_TRUE(pieces.Finish(&digest));
            EXPECT_EQ(ToHex(digest), c.hex);
        }
    }
}
