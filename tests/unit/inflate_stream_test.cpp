// The streaming inflater against the whole-buffer one: on every shared packed stream, at output
// limits around its content's size, and with the packed bytes and the output room cut into
// pieces of several sizes, it must give the whole-buffer verdict and, when accepted, the same
// bytes.
#include "dzlib/inflate_stream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dzlib/inflate.h"
#include "tests/unit/inflate_vectors.h"

namespace {

using vectors::Bytes;

struct Outcome {
    bool accepted = false;
    Bytes output;
};

// Inflates `packed` with an output of at most `limit` bytes, giving it `slice` packed bytes and
// `room` bytes of room at a time.
Outcome streamed(const Bytes& packed, std::size_t limit, std::size_t slice, std::size_t room) {
    dz::InflateStream stream(limit);
    Outcome outcome;
    std::vector<std::uint8_t> window(room);
    std::size_t given = 0;
    std::unique_ptr<std::uint8_t[]> held;
    bool gaveLast = false;
    for (;;) {
        if (stream.state() == dz::InflateStream::State::needsInput) {
            if (gaveLast) {
                ADD_FAILURE() << "more packed bytes asked for after the last";
                break;
            }
            // Each slice in memory of its own, so that a read past it shows under sanitizers.
            const std::size_t step = std::min(slice, packed.size() - given);
            held.reset(new std::uint8_t[step]);
            std::copy_n(packed.begin() + static_cast<std::ptrdiff_t>(given), step, held.get());
            given += step;
            gaveLast = given == packed.size();
            stream.give(held.get(), step, gaveLast);
        }
        if (stream.state() != dz::InflateStream::State::more) break;
        const std::size_t n = stream.read(window.data(), window.size());
        outcome.output.insert(outcome.output.end(), window.begin(),
                              window.begin() + static_cast<std::ptrdiff_t>(n));
    }
    outcome.accepted = stream.state() == dz::InflateStream::State::ended;
    EXPECT_EQ(stream.total(), outcome.output.size());
    return outcome;
}

// The whole-buffer verdict and bytes, with an output of exactly `limit` bytes.
Outcome whole(const Bytes& packed, std::size_t limit) {
    Outcome outcome;
    Bytes output(limit + 1);  // never empty, so that data() is a real pointer
    std::size_t length = 0;
    outcome.accepted =
        dz::inflateSubfile(packed.data(), packed.size(), output.data(), limit, length);
    if (outcome.accepted) outcome.output.assign(output.begin(), output.begin() + length);
    return outcome;
}

// A raw deflate block's content as zlib reads it; empty when zlib refuses it.
Bytes rawContent(const Bytes& raw) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    Bytes out(1 << 22);
    z.next_in = const_cast<Bytef*>(raw.data());
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const bool ended = inflate(&z, Z_FINISH) == Z_STREAM_END;
    out.resize(ended ? z.total_out : 0);
    inflateEnd(&z);
    return out;
}

// A zlib stream around a raw deflate block, with the Adler-32 of `content`.
Bytes zlibAround(const Bytes& raw, const Bytes& content) {
    Bytes out(2 + raw.size());
    out[0] = 0x78;
    out[1] = 0x9c;
    std::copy(raw.begin(), raw.end(), out.begin() + 2);
    const auto adler = static_cast<std::uint32_t>(
        adler32(adler32(0, nullptr, 0), content.data(), static_cast<uInt>(content.size())));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(adler >> shift));
    return out;
}

TEST(InflateStream, AcceptsExactlyWhatTheWholeBufferInflaterAccepts) {
    std::vector<vectors::Vector> table = vectors::inflateVectors();
    for (const vectors::CodesCase& c : vectors::codesCases()) {
        const Bytes raw = vectors::dynamicBlock(c);
        const Bytes content = rawContent(raw);
        table.push_back({c.name, zlibAround(raw, content), !content.empty(), content});
    }
    // Packed slices and output room: all at once, and cut fine and odd (for the smaller streams,
    // where it costs little).
    struct Pieces {
        std::size_t slice;
        std::size_t room;
        std::size_t upTo;  // only for packed streams of at most this many bytes
    };
    const Pieces pieces[] = {{SIZE_MAX, 1 << 20, SIZE_MAX}, {7, 13, 64 * 1024}, {1, 1, 2048}};
    std::size_t compared = 0;
    for (const vectors::Vector& vector : table) {
        const std::size_t size = vector.content.size();
        std::vector<std::size_t> limits = {size, size + 4096};
        if (size > 0) limits.push_back(size - 1);
        for (std::size_t limit : limits) {
            const Outcome expected = whole(vector.packed, limit);
            EXPECT_EQ(expected.accepted, vector.accepted && limit >= size) << vector.name;
            for (const Pieces& p : pieces) {
                if (vector.packed.size() > p.upTo) continue;
                SCOPED_TRACE(vector.name + ", limit " + std::to_string(limit) + ", slices of " +
                             std::to_string(p.slice) + ", room " + std::to_string(p.room));
                const Outcome got = streamed(vector.packed, limit, p.slice, p.room);
                ++compared;
                ASSERT_EQ(got.accepted, expected.accepted);
                if (got.accepted) {
                    ASSERT_TRUE(got.output == expected.output);
                }
            }
        }
    }
    EXPECT_GT(compared, 5000u);
}

}  // namespace
