// Tests of MD5 in lanes: every code (plain, SSE2, AVX2, automatic) gives each stream the digest
// it has alone, for 1 to 11 streams of different data, lengths, alignments and states already
// partway through a block, and the known answers with every stream in a different lane; and
// which code runs for how many streams on each kind of processor.
#include "digest/md5_lanes.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "digest/md5_lane_choice.h"
#include "digest/md5_lane_kernels.h"

namespace {

using digest::Md5Lanes;

std::string toHex(const digest::Digest& d) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t byte : d) {
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0xf]);
    }
    return out;
}

// Every code, each forced, and the automatic choice. Where the processor lacks AVX2, `avx2`
// runs as SSE2 and the test still holds.
struct Path {
    Md5Lanes lanes;
    const char* name;
};
constexpr Path kPaths[] = {{Md5Lanes::automatic, "automatic"},
                           {Md5Lanes::plain, "plain"},
                           {Md5Lanes::sse2, "sse2"},
                           {Md5Lanes::avx2, "avx2"}};

struct KnownAnswer {
    std::string_view text;
    std::size_t repeat;  // the message is `text` this many times over
    std::string_view hex;
};

// RFC 1321, appendix A.5, and the same texts repeated until they span many blocks, whose
// digests were computed once with Python's hashlib. Fourteen messages: more than eight lanes.
constexpr std::string_view kLong =
    "1234567890123456789012345678901234567890"
    "1234567890123456789012345678901234567890";
constexpr std::string_view kMixed =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr KnownAnswer kKnownAnswers[] = {
    {"", 1, "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", 1, "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", 1, "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", 1, "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", 1, "c3fcd3d76192e4007dfb496cca67e13b"},
    {kMixed, 1, "d174ab98d277d9f5a5611c2c9f419d9f"},
    {kLong, 1, "57edf4a22be3c955ac49da2e2107b67a"},
    {"a", 1000000, "7707d6ae4e027c70eea2a935c2296f21"},
    {"abc", 1014, "543bd4513225c49b29f12d98aa348356"},
    {"message digest", 1021, "e831ae7146a8f20d441cea640874cbef"},
    {"abcdefghijklmnopqrstuvwxyz", 1028, "5969556fadb82be33a6e8652876cc1d1"},
    {kMixed, 1035, "824273c400f5569878cbb14658561f7d"},
    {kLong, 1042, "821414658c7d3807062f379a23f348bb"},
    {"a", 1007, "25de1a9c2f649a72819d62cc53320894"},
};

TEST(Md5Lanes, KnownAnswersInEveryLane) {
    std::vector<std::string> messages;
    for (const auto& known : kKnownAnswers) {
        std::string message;
        for (std::size_t i = 0; i < known.repeat; ++i) message += known.text;
        messages.push_back(message);
    }
    const std::size_t count = messages.size();
    for (const Path& path : kPaths) {
        std::vector<digest::Md5State> states(count);
        std::vector<digest::Md5Job> jobs;
        for (std::size_t i = 0; i < count; ++i) {
            digest::md5Start(states[i]);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(messages[i].data());
            jobs.push_back({&states[i], bytes, messages[i].size()});
        }
        digest::md5AddMany(jobs.data(), count, path.lanes);
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(toHex(digest::md5Finish(states[i])), kKnownAnswers[i].hex)
                << path.name << ": \"" << kKnownAnswers[i].text << "\" x"
                << kKnownAnswers[i].repeat;
        }
    }
}

// One stream of a random case: `before` bytes added alone first (so the state may stand
// partway through a block), then `length` bytes in lanes, read from `offset` bytes into a
// buffer of their own so that no two lanes share an alignment or data.
struct Stream {
    std::vector<std::uint8_t> buffer;
    std::size_t offset;
    std::size_t before;
    std::size_t length;
};

std::vector<Stream> randomStreams(std::mt19937& random, std::size_t count, bool sameLength) {
    const std::size_t shared = random() % 9000;
    std::vector<Stream> streams(count);
    for (Stream& s : streams) {
        s.offset = random() % 8;
        s.before = sameLength ? 0 : random() % 200;
        s.length = sameLength ? shared : random() % 9000;
        s.buffer.resize(s.offset + s.before + s.length);
        for (auto& byte : s.buffer) byte = static_cast<std::uint8_t>(random());
    }
    return streams;
}

TEST(Md5Lanes, EveryStreamGetsItsOwnDigest) {
    std::mt19937 random(20240601);
    for (const Path& path : kPaths) {
        for (std::size_t count = 1; count <= 11; ++count) {
            for (int round = 0; round < 6; ++round) {
                // Every other round has the streams alike in length and at a block boundary,
                // through md5AddLanes; the others through md5AddMany.
                const bool sameLength = round % 2 == 0;
                const auto streams = randomStreams(random, count, sameLength);
                std::vector<digest::Md5State> states(count);
                std::vector<digest::Md5State*> statePointers;
                std::vector<const std::uint8_t*> starts;
                std::vector<digest::Md5Job> jobs;
                for (std::size_t i = 0; i < count; ++i) {
                    const Stream& s = streams[i];
                    digest::md5Start(states[i]);
                    digest::md5Add(states[i], s.buffer.data() + s.offset, s.before);
                    statePointers.push_back(&states[i]);
                    starts.push_back(s.buffer.data() + s.offset + s.before);
                    jobs.push_back({&states[i], starts.back(), s.length});
                }
                if (sameLength) {
                    digest::md5AddLanes(statePointers.data(), starts.data(), count,
                                        streams[0].length, path.lanes);
                } else {
                    digest::md5AddMany(jobs.data(), count, path.lanes);
                }
                for (std::size_t i = 0; i < count; ++i) {
                    const Stream& s = streams[i];
                    EXPECT_EQ(
                        toHex(digest::md5Finish(states[i])),
                        toHex(digest::md5Digest(s.buffer.data() + s.offset, s.before + s.length)))
                        << path.name << ", " << count << " streams, round " << round << ", stream "
                        << i << ": " << s.before << " bytes before, " << s.length << " in lanes";
                }
            }
        }
    }
}

// The code md5AddMany runs for n streams on each kind of processor (`widest`), in the automatic
// choice and forced.
TEST(Md5Lanes, ChoiceOfCode) {
    using digest::lanes::Pass;
    struct Case {
        Md5Lanes widest;
        bool automatic;
        std::size_t n;
        Pass::Code code;
        std::size_t streams;
    };
    constexpr Case kCases[] = {
        {Md5Lanes::avx2, true, 1, Pass::one, 1},    {Md5Lanes::avx2, true, 2, Pass::two, 2},
        {Md5Lanes::avx2, true, 3, Pass::four, 3},   {Md5Lanes::avx2, true, 4, Pass::four, 4},
        {Md5Lanes::avx2, true, 5, Pass::eight, 5},  {Md5Lanes::avx2, true, 8, Pass::eight, 8},
        {Md5Lanes::sse2, true, 1, Pass::one, 1},    {Md5Lanes::sse2, true, 2, Pass::two, 2},
        {Md5Lanes::sse2, true, 3, Pass::four, 3},   {Md5Lanes::sse2, true, 8, Pass::four, 4},
        {Md5Lanes::plain, true, 1, Pass::one, 1},   {Md5Lanes::plain, true, 5, Pass::two, 2},
        {Md5Lanes::avx2, false, 1, Pass::eight, 1}, {Md5Lanes::sse2, false, 1, Pass::four, 1},
        {Md5Lanes::sse2, false, 6, Pass::four, 4},  {Md5Lanes::plain, false, 3, Pass::two, 2},
    };
    for (const Case& c : kCases) {
        const Pass pass = digest::lanes::nextPass(c.n, c.widest, c.automatic);
        EXPECT_EQ(pass.code, c.code)
            << static_cast<int>(c.widest) << " " << c.automatic << " " << c.n;
        EXPECT_EQ(pass.streams, c.streams)
            << static_cast<int>(c.widest) << " " << c.automatic << " " << c.n;
    }
}

#if KESTRIX_MD5_AVX2_KERNEL
// A code the processor lacks falls back to the next narrower, never further.
TEST(Md5Lanes, ForcedCodeFallsBackToWhatTheProcessorRuns) {
    struct Case {
        Md5Lanes asked;
        bool hasAvx2;
        Md5Lanes runs;
    };
    constexpr Case kCases[] = {
        {Md5Lanes::automatic, true, Md5Lanes::avx2}, {Md5Lanes::automatic, false, Md5Lanes::sse2},
        {Md5Lanes::avx2, true, Md5Lanes::avx2},      {Md5Lanes::avx2, false, Md5Lanes::sse2},
        {Md5Lanes::sse2, true, Md5Lanes::sse2},      {Md5Lanes::plain, true, Md5Lanes::plain},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(digest::lanes::runnable(c.asked, c.hasAvx2), c.runs)
            << static_cast<int>(c.asked) << " " << c.hasAvx2;
    }
}
#endif

}  // namespace
