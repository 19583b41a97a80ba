// Tests of the program's own MD5: known answers, padding boundaries, a large input, the
// incremental form at every split point, unaligned input, and digestsEqual.
#include "digest/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string toHex(const digest::Digest& d) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t byte : d) {
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0xf]);
    }
    return out;
}

std::string md5Hex(std::string_view text) {
    return toHex(digest::md5Digest(text.data(), text.size()));
}

// A deterministic pseudo-random byte pattern (32-bit linear congruential generator, top byte).
std::vector<std::uint8_t> pattern(std::size_t length) {
    std::vector<std::uint8_t> out(length);
    std::uint32_t x = 0x12345678u;
    for (auto& byte : out) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

struct KnownAnswer {
    std::string_view input;
    std::string_view hex;
};

// RFC 1321, appendix A.5.
constexpr KnownAnswer kRfcSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890"
     "1234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, RfcTestSuite) {
    for (const auto& known : kRfcSuite) {
        EXPECT_EQ(md5Hex(known.input), known.hex) << "input \"" << known.input << "\"";
    }
}

struct PaddingCase {
    std::size_t length;  // bytes of 'a'
    std::string_view hex;
};

// Lengths either side of where the padding needs a second block (56 bytes) and of the block
// size; digests computed once with Python's hashlib.
constexpr PaddingCase kPaddingCases[] = {
    {0, "d41d8cd98f00b204e9800998ecf8427e"},   {1, "0cc175b9c0f1b6a831c399e269772661"},
    {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
    {57, "652b906d60af96844ebd21b674f35e93"},  {63, "b06521f39153d618550606be297466d5"},
    {64, "014842d480b571495a4a0363793f7367"},  {65, "c743a45e0d2e6a95cb859adae0248435"},
    {119, "8a7bd0732ed6a28ce75f6dabc90e1613"}, {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
    {127, "020406e1d05cdc2aa287641f7ae2cc39"}, {128, "e510683b3f5ffe4093d021808bc6ff70"},
    {129, "b325dc1c6f5e7a2b7cf465b9feab7948"},
};

TEST(Md5, PaddingBoundaries) {
    for (const auto& c : kPaddingCases) {
        const std::string input(c.length, 'a');
        EXPECT_EQ(md5Hex(input), c.hex) << c.length << " bytes of 'a'";
    }
}

TEST(Md5, LargeInput) {
    // 3 MiB + 17 bytes: many whole blocks plus a tail; digest computed once with hashlib.
    const auto input = pattern(3 * 1024 * 1024 + 17);
    EXPECT_EQ(toHex(digest::md5Digest(input.data(), input.size())),
              "e0510d4c450110fa427af8f4ad6786cc");
}

// The digest of `input` added in pieces of the given lengths (a piece of 0 bytes is added as a
// null pointer), and whatever is left over as one last piece.
std::string digestInPieces(const std::vector<std::uint8_t>& input,
                           const std::vector<std::size_t>& pieces) {
    digest::Md5State state;
    digest::md5Start(state);
    std::size_t offset = 0;
    for (std::size_t piece : pieces) {
        digest::md5Add(state, piece == 0 ? nullptr : input.data() + offset, piece);
        offset += piece;
    }
    digest::md5Add(state, input.data() + offset, input.size() - offset);
    return toHex(digest::md5Finish(state));
}

TEST(Md5, AddingInPiecesGivesTheWholeDigest) {
    struct Case {
        std::string what;
        std::size_t length;
        std::vector<std::size_t> pieces;
    };
    std::vector<Case> cases;
    // Pieces of 1, 10, 37, ... bytes cross block edges at varying offsets.
    std::vector<std::size_t> growing;
    for (std::size_t piece = 1, total = 0; total + piece < 3 * 1024 * 1024 + 17;
         total += piece, piece = piece * 3 + 7) {
        growing.push_back(piece);
    }
    cases.push_back({"growing pieces", 3 * 1024 * 1024 + 17, growing});
    for (std::size_t k = 0; k <= 200; ++k)
        cases.push_back({"split at " + std::to_string(k), 200, {k}});
    cases.push_back({"byte by byte", 200, std::vector<std::size_t>(200, 1)});
    cases.push_back({"empty pieces between", 200, {0, 3, 0, 0, 64, 0}});
    for (const Case& c : cases) {
        const auto input = pattern(c.length);
        EXPECT_EQ(digestInPieces(input, c.pieces),
                  toHex(digest::md5Digest(input.data(), input.size())))
            << c.what;
    }
}

TEST(Md5, SideBySideGivesEachStreamsOwnDigest) {
    struct Case {
        std::string what;
        std::size_t before;  // bytes each state has taken already
        std::size_t length;  // then added side by side
        std::size_t after;   // then added alone
    };
    const std::vector<Case> cases = {
        {"nothing", 0, 0, 0},
        {"one block", 0, 64, 0},
        {"many blocks, a tail after", 128, 64 * 4099, 37},
        {"not a whole block", 0, 100, 0},
        {"states in the middle of a block", 10, 128, 3},
    };
    for (const Case& c : cases) {
        const std::size_t total = c.before + c.length + c.after;
        std::vector<std::uint8_t> first = pattern(total);
        std::vector<std::uint8_t> second(first.rbegin(), first.rend());
        digest::Md5State one;
        digest::Md5State two;
        digest::md5Start(one);
        digest::md5Start(two);
        digest::md5Add(one, first.data(), c.before);
        digest::md5Add(two, second.data(), c.before);
        digest::md5AddSideBySide(one, first.data() + c.before, two, second.data() + c.before,
                                 c.length);
        digest::md5Add(one, first.data() + c.before + c.length, c.after);
        digest::md5Add(two, second.data() + c.before + c.length, c.after);
        EXPECT_EQ(toHex(digest::md5Finish(one)),
                  toHex(digest::md5Digest(first.data(), first.size())))
            << c.what;
        EXPECT_EQ(toHex(digest::md5Finish(two)),
                  toHex(digest::md5Digest(second.data(), second.size())))
            << c.what;
    }
}

TEST(Md5, UnalignedInput) {
    // The same bytes at every offset within a word must give the same digest.
    const auto input = pattern(1000);
    const auto expected = toHex(digest::md5Digest(input.data(), input.size()));
    for (std::size_t shift = 1; shift < 8; ++shift) {
        std::vector<std::uint8_t> buffer(input.size() + shift);
        std::copy(input.begin(), input.end(), buffer.begin() + static_cast<std::ptrdiff_t>(shift));
        EXPECT_EQ(toHex(digest::md5Digest(buffer.data() + shift, input.size())), expected)
            << "offset " << shift;
    }
    const std::string text = "xabc";
    EXPECT_EQ(md5Hex(std::string_view(text).substr(1)), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, DigestsEqual) {
    const auto a = digest::md5Digest("abc", 3);
    auto b = a;
    EXPECT_TRUE(digest::digestsEqual(a.data(), b.data()));

    b[15] ^= 0x01;
    EXPECT_FALSE(digest::digestsEqual(a.data(), b.data()));

    b = a;
    b[0] ^= 0x80;
    EXPECT_FALSE(digest::digestsEqual(a.data(), b.data()));

    const auto other = digest::md5Digest("abd", 3);
    EXPECT_FALSE(digest::digestsEqual(a.data(), other.data()));
}

}  // namespace
