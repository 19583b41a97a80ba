// Reading a raw deflate stream's codes the way zlib's inflate reads them, without producing
// output, to refuse what zlib refuses among the streams that libdeflate decodes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dz {

// True when zlib's inflate reads every block of the raw deflate stream at `data` to its end
// within `size` bytes. False at the first of what libdeflate decodes and zlib refuses (in the
// libdeflate version that CMakeLists.txt names as proven, KESTRIX_LIBDEFLATE_PROVEN_VERSION):
// 287 or 288 literal/length codes or 31 or 32 distance codes in a dynamic block header; a code
// length repeat that runs past the end of the list; length symbols 286 and 287 or distance
// symbols 30 and 31 in fixed blocks; a match in a block whose distance code is empty; the
// unused '1' pattern of a code that has a single one-bit codeword.
bool zlibReadsDeflateCodes(const std::uint8_t* data, std::size_t size);

// A block with codes (fixed or dynamic) as the walk has read it, for a CodeWalkPolicy. Places
// are counted in bits from the start of the data.
struct CodedBlock {
    bool dynamic = false;
    // A dynamic block's literal/length code: true when it has no length symbols (every code
    // but the end-of-block code is a literal), and how many codewords it has in all.
    bool literalsOnly = false;
    unsigned literalCodewords = 0;
    std::size_t start = 0;       // where the block's header begins
    std::size_t codesStart = 0;  // where its first code begins, after the header
    std::size_t end = 0;         // just past its end-of-block code (for blockEnded only)
};

// What a walk asks at each block with codes, once its header has been read and found good, so
// that the caller can hold the walk to what it needs: the libdeflate backend stops it where
// zlib alone inflates faster, and refuses codes that make more than its output holds
// (LibdeflateWalkPolicy, dzlib/inflate_libdeflate.h). Stored blocks are not asked about.
class CodeWalkPolicy {
  public:
    // Before the block's codes: true stops the walk there (CodeWalk::kStopped).
    virtual bool stopBefore(const CodedBlock& block) = 0;
    // Then the most bits the block's codes may take, its end-of-block code with them: the walk
    // refuses the stream where they take more.
    virtual std::size_t codeBitsAllowed() const = 0;
    // After the block's end-of-block code.
    virtual void blockEnded(const CodedBlock& block) = 0;

  protected:
    ~CodeWalkPolicy() = default;
};

// The policy of zlibReadsDeflateCodes: the walk goes on to the end, and codes take any number
// of bits.
class WholeStreamPolicy final : public CodeWalkPolicy {
  public:
    bool stopBefore(const CodedBlock&) override { return false; }
    std::size_t codeBitsAllowed() const override { return SIZE_MAX; }
    void blockEnded(const CodedBlock&) override {}
};

// How walkDeflateCodes ends.
enum class CodeWalk {
    kRead,     // zlib's inflate reads every block to its end, and no block's codes took more bits
               // than the policy allowed
    kRefused,  // zlib's inflate refuses the stream, or a block's codes took more bits than the
               // policy allowed
    kStopped,  // the policy stopped the walk at a block
};

// The walk of zlibReadsDeflateCodes, held to `policy`. It asks the policy about each block with
// codes when it has read the block's header and found it good, and, unless stopped, again when
// it has read the block's end-of-block code.
CodeWalk walkDeflateCodes(const std::uint8_t* data, std::size_t size, CodeWalkPolicy& policy);

// The same walk made plainly (deflate_check_simple.cpp): a bit at a time, each codeword found by
// counting through the canonical code of its length, with no tables and no reading ahead, and
// the rules written out one by one as zlib's inflate applies them. Slow; the tests and a fuzz
// target hold walkDeflateCodes to it: the same result, and the same questions to the policy in
// the same order.
CodeWalk walkDeflateCodesSimply(const std::uint8_t* data, std::size_t size, CodeWalkPolicy& policy);

}  // namespace dz
