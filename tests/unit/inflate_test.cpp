// Differential tests of the inflate backends: one table of packed streams, each with the result
// it must give (accepted with its bytes, or refused), fed to every backend built in and at
// several output sizes. The backends must agree with the table and with each other.
#include "dzlib/inflate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/unit/inflate_vectors.h"

namespace {

using vectors::Bytes;
using vectors::bytesOf;
using vectors::deflateWith;
using vectors::Vector;

// ---------------------------------------------------------------------------------------------
// Running the backends

using Backend = bool (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t,
                         std::size_t&);

struct NamedBackend {
    const char* name;
    Backend run;
};

const NamedBackend kBackends[] = {
    {"zlib", dz::inflateWithZlib},
#ifdef KESTRIX_LIBDEFLATE_LINKED
    {"libdeflate", dz::inflateWithLibdeflate},
#endif
};

struct Outcome {
    bool accepted = false;
    std::size_t length = 0;
    Bytes output;
};

// Runs `backend` on a heap copy of exactly `packed.size()` bytes (so a read past the end is a
// sanitizer error) into a buffer of exactly `outputSize` bytes.
Outcome runBackend(const NamedBackend& backend, const Bytes& packed, std::size_t outputSize) {
    const std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[packed.size()]);
    if (!packed.empty()) std::memcpy(input.get(), packed.data(), packed.size());
    Outcome outcome;
    outcome.output.assign(outputSize, 0xa5);
    outcome.length = 12345;
    outcome.accepted =
        backend.run(input.get(), packed.size(), outcome.output.data(), outputSize, outcome.length);
    return outcome;
}

TEST(Inflate, BackendsAgreeWithTheTableAndEachOther) {
    const std::vector<Vector> table = vectors::inflateVectors();
    ASSERT_GT(table.size(), 1000u);
    for (const Vector& vector : table) {
        const std::size_t size = vector.content.size();
        std::vector<std::size_t> outputSizes = {size, size + 4096};
        if (size > 0) outputSizes.push_back(size - 1);
        for (std::size_t outputSize : outputSizes) {
            SCOPED_TRACE(vector.name + ", output size " + std::to_string(outputSize));
            const bool expectAccepted = vector.accepted && outputSize >= size;
            std::vector<Outcome> outcomes;
            for (const NamedBackend& backend : kBackends) {
                SCOPED_TRACE(backend.name);
                Outcome outcome = runBackend(backend, vector.packed, outputSize);
                EXPECT_EQ(outcome.accepted, expectAccepted);
                if (outcome.accepted && expectAccepted) {
                    EXPECT_EQ(outcome.length, size);
                    EXPECT_TRUE(outcome.length == size &&
                                std::equal(vector.content.begin(), vector.content.end(),
                                           outcome.output.begin()));
                }
                outcomes.push_back(std::move(outcome));
            }
            for (std::size_t i = 1; i < outcomes.size(); ++i) {
                EXPECT_EQ(outcomes[i].accepted, outcomes[0].accepted);
                if (outcomes[i].accepted && outcomes[0].accepted) {
                    EXPECT_EQ(outcomes[i].length, outcomes[0].length);
                    EXPECT_TRUE(std::equal(outcomes[0].output.begin(),
                                           outcomes[0].output.begin() + outcomes[0].length,
                                           outcomes[i].output.begin()));
                }
            }
        }
    }
}

// An empty stream into an output buffer that is a real pointer with no room, and a null one.
TEST(Inflate, EmptyStreamIntoNoRoom) {
    const Bytes stream = deflateWith({}, 6, 15);
    for (const NamedBackend& backend : kBackends) {
        SCOPED_TRACE(backend.name);
        std::uint8_t spare = 0;
        std::size_t length = 99;
        EXPECT_TRUE(backend.run(stream.data(), stream.size(), &spare, 0, length));
        EXPECT_EQ(length, 0u);
        length = 99;
        EXPECT_TRUE(backend.run(stream.data(), stream.size(), nullptr, 0, length));
        EXPECT_EQ(length, 0u);
        EXPECT_FALSE(backend.run(nullptr, 0, &spare, 1, length));
    }
}

// Sizes that do not fit zlib's 32-bit counters are refused, not truncated.
TEST(Inflate, SizesBeyond32BitsAreRefused) {
    if constexpr (sizeof(std::size_t) > 4) {
        const Bytes stream = deflateWith(bytesOf("abc"), 6, 15);
        std::uint8_t output[8] = {};
        const std::size_t huge = std::size_t{1} << 32;
        for (const NamedBackend& backend : kBackends) {
            SCOPED_TRACE(backend.name);
            std::size_t length = 0;
            EXPECT_TRUE(backend.run(stream.data(), stream.size(), output, sizeof output, length));
            EXPECT_FALSE(backend.run(stream.data(), huge, output, sizeof output, length));
            EXPECT_FALSE(backend.run(stream.data(), stream.size(), output, huge, length));
        }
    }
}

}  // namespace
