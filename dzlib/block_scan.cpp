// Scanning an original packed stream block by block against new content.
#include "dzlib/block_scan.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "dzlib/compress.h"
#include "dzlib/wrapper.h"
#include "dzlib/zlib_inflater.h"

namespace dz {
namespace {

// What one inflate call may give at most: the original's content passes through this much.
constexpr std::size_t kChunk = std::size_t{256} << 10;

// The original's content, compared with the new content as it comes: from the start, where they
// first differ; with their ends lined up, where they last differ.
class Comparison {
  public:
    Comparison(const std::uint8_t* content, std::uint64_t length, std::uint64_t assumedLength)
        : content_(content), length_(length), assumed_(assumedLength) {}

    // The original's next `count` bytes.
    void add(const std::uint8_t* old, std::size_t count) {
        if (!prefixEnded_) comparePrefix(old, count);
        compareEnds(old, count);
        at_ += count;
    }

    std::uint64_t at() const { return at_; }
    bool prefixEnded() const { return prefixEnded_; }
    // While !prefixEnded(), everything so far.
    std::uint64_t prefix() const { return prefixEnded_ ? prefix_ : at_; }
    // The least content offset a boundary needs for the original's blocks after it to give the
    // new content's end: past the last difference with the ends lined up, and past the shared
    // start in both contents, then a window further. Meaningful once prefixEnded().
    std::uint64_t resumeFloor() const {
        const std::uint64_t startInOld =
            prefix_ + assumed_ > length_ ? prefix_ + assumed_ - length_ : 0;
        return std::max({lastDifferenceEnd_, prefix_, startInOld}) + kDeflateWindow;
    }
    // The ends were lined up right: the original held exactly the length assumed.
    bool endsLinedUp() const { return at_ == assumed_; }

  private:
    void comparePrefix(const std::uint8_t* old, std::size_t count) {
        const std::size_t comparable =
            at_ < length_ ? static_cast<std::size_t>(std::min<std::uint64_t>(count, length_ - at_))
                          : 0;
        const std::uint8_t* const mine = content_ + at_;
        std::size_t same = comparable;
        if (std::memcmp(old, mine, comparable) != 0) {
            same = static_cast<std::size_t>(std::mismatch(old, old + comparable, mine).first - old);
        }
        if (same < count) {  // a difference, or the new content ended
            prefixEnded_ = true;
            prefix_ = at_ + same;
        }
    }

    // The original's byte i stands for the new content's byte i + length - assumedLength; one
    // with no such byte differs.
    void compareEnds(const std::uint8_t* old, std::size_t count) {
        std::uint64_t from = at_;
        const std::uint64_t to = at_ + count;
        const std::uint64_t unmatched = assumed_ > length_ ? assumed_ - length_ : 0;
        if (from < unmatched) {
            lastDifferenceEnd_ = std::min(to, unmatched);
            from = lastDifferenceEnd_;
        }
        if (to > assumed_) return;  // longer than assumed: endsLinedUp() says so at the end
        if (from >= to) return;
        const std::uint8_t* const a = old + (from - at_);
        const std::uint8_t* const b = content_ + (from + length_ - assumed_);
        std::size_t differs = static_cast<std::size_t>(to - from);
        if (std::memcmp(a, b, differs) == 0) return;
        while (a[differs - 1] == b[differs - 1]) --differs;
        lastDifferenceEnd_ = from + differs;
    }

    const std::uint8_t* content_;
    std::uint64_t length_;
    std::uint64_t assumed_;
    std::uint64_t at_ = 0;
    bool prefixEnded_ = false;
    std::uint64_t prefix_ = 0;
    std::uint64_t lastDifferenceEnd_ = 0;
};

}  // namespace

bool scanBlocks(const std::uint8_t* packed, std::size_t packedSize, const std::uint8_t* content,
                std::size_t length, std::uint64_t assumedLength, BlockScan& scan) {
    scan = BlockScan();
    // zlib counts its input in 32 bits; a sub-file's packed data never needs more.
    if (packedSize > UINT32_MAX || packed == nullptr) return false;
    // The wrapper is read here and its check value summed here, faster than inflate would: the
    // deflate data alone goes through inflate, which accepts the headers readWrapperHeader does.
    Wrapper wrapper;
    scan.headerLength = readWrapperHeader(packed, packedSize, wrapper);
    if (scan.headerLength == 0) return false;  // not a header inflate takes, or a dictionary
    const std::size_t deflateSize = packedSize - scan.headerLength;
    const std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow) std::uint8_t[kChunk]);
    ZlibInflater inflater;
    z_stream& s = inflater.stream;
    if (chunk == nullptr || inflateInit2(&s, -15) != Z_OK) return false;
    inflater.open = true;
    s.next_in = const_cast<Bytef*>(packed + scan.headerLength);
    s.avail_in = static_cast<uInt>(deflateSize);

    Comparison compared(content, length, assumedLength);
    std::uint32_t check = emptyWrapperCheck(wrapper);
    // The first block begins at the first bit.
    scan.finalStart = scan.start;
    bool afterResumeFound = false;
    bool ended = false;
    for (;;) {
        const uInt inBefore = s.avail_in;
        s.next_out = chunk.get();
        s.avail_out = static_cast<uInt>(kChunk);
        // Z_BLOCK returns at the end of every block; data_type then has 128 added, 64 more after
        // the final block, and the count of the last byte's bits not yet used in its low three
        // bits.
        const int result = inflate(&s, Z_BLOCK);
        const std::size_t produced = kChunk - s.avail_out;
        compared.add(chunk.get(), produced);
        check = addToWrapperCheck(check, chunk.get(), produced, wrapper);
        if (result == Z_STREAM_END) break;
        if (result != Z_OK && result != Z_BUF_ERROR) return false;  // damaged
        if (scan.resume && scan.resume->content < compared.resumeFloor()) {
            scan.resume.reset();  // the original differs after all past it
            afterResumeFound = false;
        }
        if ((s.data_type & 128) == 0) {
            if (produced == 0 && s.avail_in == inBefore) return false;  // cut short
            continue;
        }
        const std::uint64_t consumed = deflateSize - s.avail_in;
        const BlockBoundary here{consumed * 8 - static_cast<unsigned>(s.data_type & 7),
                                 compared.at()};
        const bool streamEnds = (s.data_type & 64) != 0;
        if (scan.resume && !afterResumeFound) {
            scan.afterResume = here;
            afterResumeFound = true;
        }
        if (streamEnds) {
            scan.end = here;
            ended = true;
            continue;
        }
        // A block begins here.
        scan.finalStart = here;
        if (!compared.prefixEnded()) {
            scan.beforeStart = scan.start;
            scan.start = here;
        } else if (!scan.resume && here.bit % 2 == 0 && here.content >= compared.resumeFloor()) {
            scan.resume = here;
        }
    }
    // Only a stream whose trailer is the last thing in the packed data, and holds the check
    // value (and for gzip the length) of what it gave, is spliced.
    const std::string trailer = wrapperTrailer(wrapper, check, compared.at());
    if (!ended || s.avail_in != trailer.size() ||
        std::memcmp(packed + packedSize - s.avail_in, trailer.data(), trailer.size()) != 0) {
        return false;
    }
    scan.contentLength = compared.at();
    scan.prefix = compared.prefix();
    if (!compared.endsLinedUp() || !afterResumeFound) scan.resume.reset();
    return true;
}

}  // namespace dz
