// Fuzz target: the streaming inflater against the whole-buffer one. The input's first three bytes
// choose how many packed bytes are given at a time, how much room each read has and how far the
// output limit lies from a kilobyte or so; the rest is the packed stream. Both must accept and
// refuse alike, and give the same bytes when they accept; each backend built in is compared.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "dzlib/inflate.h"
#include "dzlib/inflate_stream.h"

namespace {

struct Outcome {
    bool accepted = false;
    std::vector<std::uint8_t> bytes;
};

Outcome streamed(const std::uint8_t* packed, std::size_t size, std::size_t limit, std::size_t slice,
                 std::size_t room) {
    dz::InflateStream stream(limit);
    Outcome outcome;
    std::vector<std::uint8_t> window(room);
    std::size_t given = 0;
    std::unique_ptr<std::uint8_t[]> held;
    bool gaveLast = false;
    for (;;) {
        if (stream.state() == dz::InflateStream::State::needsInput) {
            if (gaveLast) std::abort();  // more asked for after the last packed bytes
            const std::size_t step = std::min(slice, size - given);
            held.reset(new std::uint8_t[step]);  // exactly the slice, so that a read past it shows
            std::copy_n(packed + given, step, held.get());
            given += step;
            gaveLast = given == size;
            stream.give(held.get(), step, gaveLast);
        }
        if (stream.state() != dz::InflateStream::State::more) break;
        const std::size_t n = stream.read(window.data(), window.size());
        outcome.bytes.insert(outcome.bytes.end(), window.begin(),
                             window.begin() + static_cast<std::ptrdiff_t>(n));
        if (outcome.bytes.size() > limit) std::abort();  // never more than the limit
    }
    outcome.accepted = stream.state() == dz::InflateStream::State::ended;
    return outcome;
}

using Backend = bool (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t,
                         std::size_t&);

Outcome whole(Backend backend, const std::uint8_t* packed, std::size_t size, std::size_t limit) {
    Outcome outcome;
    std::vector<std::uint8_t> output(limit + 1);
    std::size_t length = 0;
    outcome.accepted = backend(packed, size, output.data(), limit, length);
    if (outcome.accepted) outcome.bytes.assign(output.begin(), output.begin() + length);
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t slice = 1 + data[0] % 64 * (data[0] >= 128 ? 97 : 1);
    const std::size_t room = 1 + data[1] % 64 * (data[1] >= 128 ? 131 : 1);
    const std::size_t limit = std::size_t{data[2]} * 64;
    const std::uint8_t* packed = data + 3;
    const std::size_t packedSize = size - 3;
    // A heap copy of exactly the packed bytes, so that a read past them shows.
    const std::vector<std::uint8_t> copy(packed, packed + packedSize);
    const Outcome got = streamed(copy.data(), copy.size(), limit, slice, room);
    const Backend backends[] = {
        dz::inflateWithZlib,
#ifdef KESTRIX_LIBDEFLATE_LINKED
        dz::inflateWithLibdeflate,
#endif
    };
    for (Backend backend : backends) {
        const Outcome expected = whole(backend, copy.data(), copy.size(), limit);
        if (got.accepted != expected.accepted) std::abort();
        if (got.accepted && got.bytes != expected.bytes) std::abort();
    }
    return 0;
}
