// Fuzz target: the input describes a container (tests/fuzz/sealed_input.h) and the target builds
// it with every marker, size and digest right, or takes a container given whole and makes its
// digests right, so that most inputs are containers a firmware tool could have written, with
// deflate streams that unpack. Besides the run of the stages, both inflate backends are called
// directly on every packed stream and must agree on acceptance, length and bytes; and when a
// container built without damage is extracted, each output file must hold exactly the contents
// of its sub-files in table order. The digests are written right even though a fuzz build lets
// any digest match, so that these inputs also replay as valid containers in any build.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/run_state.h"
#include "digest/md5.h"
#include "dzlib/inflate.h"
#include "dzlib/output_name.h"
#include "dzlib/records.h"
#include "tests/fuzz/fuzz_workspace.h"
#include "tests/fuzz/sealed_input.h"
#include "tests/support/container_writer.h"

namespace {

using namespace fuzzsupport;

std::uint8_t* outputBuffer(int which) {
    static std::vector<std::uint8_t> buffers[2] = {std::vector<std::uint8_t>(kWorkingSize),
                                                   std::vector<std::uint8_t>(kWorkingSize)};
    return buffers[which].data();
}

const std::uint8_t* bytesOf(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// The bytes the zlib backend unpacks from `packed` within the working size, if it accepts them.
std::optional<std::string> inflated(const std::string& packed) {
    std::size_t length = 0;
    if (!dz::inflateWithZlib(bytesOf(packed), packed.size(), outputBuffer(0), kWorkingSize,
                             length)) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(outputBuffer(0)), length);
}

// Both backends, given the same stream and room, accept and refuse alike and give the same bytes.
// Returns the unpacked length when they accept.
std::optional<std::size_t> compareBackendsOnce(const std::string& packed, std::size_t room) {
    std::size_t zlibLength = 0;
    const bool zlibAccepts =
        dz::inflateWithZlib(bytesOf(packed), packed.size(), outputBuffer(0), room, zlibLength);
#ifdef KESTRIX_LIBDEFLATE_LINKED
    std::size_t libdeflateLength = 0;
    const bool libdeflateAccepts = dz::inflateWithLibdeflate(
        bytesOf(packed), packed.size(), outputBuffer(1), room, libdeflateLength);
    if (zlibAccepts != libdeflateAccepts) {
        fail("the backends disagree: zlib " + std::string(zlibAccepts ? "accepts" : "refuses") +
             ", libdeflate " + (libdeflateAccepts ? "accepts" : "refuses") + " (room " +
             std::to_string(room) + ")");
    }
    if (zlibAccepts && (zlibLength != libdeflateLength ||
                        std::memcmp(outputBuffer(0), outputBuffer(1), zlibLength) != 0)) {
        fail("the backends unpack different bytes");
    }
#endif
    if (!zlibAccepts) return std::nullopt;
    return zlibLength;
}

// The comparison with the given room, and at the edge of the room the stream needs.
void compareBackends(const std::string& packed, std::size_t room) {
    if (room > kWorkingSize) room = kWorkingSize;
    std::optional<std::size_t> length = compareBackendsOnce(packed, room);
    if (!length) length = compareBackendsOnce(packed, kWorkingSize);
    if (!length) return;
    if (compareBackendsOnce(packed, *length) != length) fail("refused with just enough room");
    if (*length > 0 && compareBackendsOnce(packed, *length - 1))
        fail("accepted with too little room");
}

void applyDamage(std::string& bytes, const Damage& damage) {
    if (bytes.empty()) return;
    for (const auto& [position, mask] : damage) bytes[position % bytes.size()] ^= mask;
}

void putDigest(std::string& bytes, std::size_t at, std::size_t from, std::size_t length) {
    digest::Digest d = digest::md5Digest(bytes.data() + from, length);
    std::memcpy(bytes.data() + at, d.data(), d.size());
}

// Writes every digest a container's reader will look for, where the bytes give their places:
// each sub-file's unpacked digest (when its stream unpacks) and header digest, the main header
// digest, and last the table digest.
void resealImage(std::string& image) {
    const std::size_t length = image.size();
    std::size_t begin = 0;
    std::uint32_t bodySize = 0;
    bool table = false;
    if (length >= 24) {
        bodySize = testsupport::get32(image, length - 8);
        table = bodySize <= dz::kLargestTableBody && length - 24 >= bodySize;
        begin = length - 24 - bodySize;
    }
    if (table && bodySize >= 4) {
        const std::uint32_t count = testsupport::get32(image, begin + 20);
        for (std::uint32_t i = 0; i < count && 12 + 8 * static_cast<std::size_t>(i) <= bodySize;
             ++i) {
            const std::uint32_t offset = testsupport::get32(image, begin + 20 + 8 + 8 * i);
            if (offset > length || length - offset < 196) continue;
            const std::uint32_t packedSize = testsupport::get32(image, offset + 16);
            // Past the end the reader sees zeros; a little of them is enough for a stream.
            std::string packed = image.substr(offset + 196, packedSize);
            if (packed.size() < packedSize) {
                packed.resize(std::min<std::size_t>(packedSize, packed.size() + 65536), '\0');
            }
            compareBackends(packed, kWorkingSize);
            if (std::optional<std::string> content = inflated(packed)) {
                digest::Digest d = digest::md5Digest(content->data(), content->size());
                std::memcpy(image.data() + offset + 164, d.data(), d.size());
            }
            putDigest(image, offset + 180, offset, 180);
        }
    }
    if (length >= 316) putDigest(image, 300, 0, 300);
    if (table) putDigest(image, begin + 4, begin + 20, bodySize);
}

// The output files a container should give: contents joined by output name in table order.
// False when a name is refused, so that extraction should have failed.
bool expectedOutputs(const SealedInput& input, const std::string& prefix,
                     std::map<std::string, std::string>& outputs) {
    for (const SubfileInput& subfile : input.subfiles) {
        char field[144] = {};
        std::memcpy(field, subfile.name.data(), std::min(subfile.name.size(), sizeof field));
        const std::string name = dz::outputNameFor(field, sizeof field);
        // Paths are built in buffers of kPathSize bytes.
        if (name.empty() || prefix.size() + name.size() + 1 > app::kPathSize) return false;
        if (name.find('/') != std::string::npos || name == "." || name == "..") {
            fail("an output name leaves the output directory: " + name);
        }
        outputs[prefix + name] += subfile.data;
    }
    return true;
}

void checkOutputs(const SealedInput& input, const std::string& outputName) {
    namespace fs = std::filesystem;
    const std::string directory = scratchDirectory() + "/" + outputName;
    std::map<std::string, std::string> expected;
    if (!expectedOutputs(input, directory + "/", expected)) fail("a refused name was extracted");
    std::size_t found = 0;
    std::error_code missing;  // no directory when the prefix does not fit and there is no entry
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, missing)) {
        auto it = expected.find(entry.path().string());
        if (it == expected.end()) fail("an output nobody asked for: " + entry.path().string());
        if (testsupport::readFile(entry.path().string()) != it->second) {
            fail("an output holds other bytes than its sub-files: " + entry.path().string());
        }
        ++found;
    }
    if (found != expected.size()) fail("an output is missing");
}

std::string buildImage(const SealedInput& input, bool& plain) {
    testsupport::ContainerPlan plan;
    plan.version = input.version;
    plan.subfileCount = input.subfileCount;
    plan.creationTime = input.creationTime;
    plan.phoneModel = input.phoneModel;
    plan.internalName = input.internalName;
    plan.chip = input.chip;
    plan.fileName = input.fileName;
    plain = !input.explicitEntries && input.damage.empty();
    for (const SubfileInput& subfile : input.subfiles) {
        testsupport::SubfilePlan planned;
        planned.name = subfile.name;
        planned.type = subfile.type;
        planned.level = fuzzsupport::levelOf(subfile.kind);
        const int packing = subfile.kind & 3;
        if (packing == kZlib || packing == kGzip) {
            planned.content = subfile.data;
            planned.gzip = packing == kGzip;
        } else {
            std::string packed = subfile.data;
            if (packing == kDamaged) {
                packed = testsupport::deflateContent(subfile.data, false, planned.level);
                applyDamage(packed, subfile.damage);
            }
            std::optional<std::string> content = inflated(packed);
            planned.content = content ? *content : subfile.data;
            // The oracle compares outputs with the data; other unpacked bytes are not checked.
            if (content != subfile.data) plain = false;
            planned.packed = packed;
        }
        if ((subfile.kind & kHasPackedSize) != 0) planned.packedSize = subfile.packedSize;
        if ((subfile.kind & kHasPosition) != 0) {
            planned.at = subfile.position;
            plain = false;
        }
        plan.subfiles.push_back(planned);
    }
    testsupport::ContainerImage image = testsupport::buildContainer(plan);
    if (input.explicitEntries) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
        for (const auto& [type, target] : input.entries) {
            const std::uint32_t offset = target < image.subfileAt.size()
                                             ? static_cast<std::uint32_t>(image.subfileAt[target])
                                             : target;
            entries.emplace_back(type, offset);
        }
        plan.entries = entries;
        image = testsupport::buildContainer(plan);
    }
    for (const testsupport::SubfilePlan& planned : plan.subfiles) {
        const std::string packed =
            planned.packed
                ? *planned.packed
                : testsupport::deflateContent(planned.content, planned.gzip, planned.level);
        compareBackends(packed, input.room);
    }
    std::string bytes = image.flat();
    applyDamage(bytes, input.damage);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static app::RunState state;
    const SealedInput input = decodeSealedInput(data, size);
    bool plain = false;
    std::string image;
    if ((input.mode & 1) != 0) {
        image = input.image;
        resealImage(image);
    } else {
        image = buildImage(input, plain);
    }
    const std::string outputName(1 + input.outputNameLength % 250, 'o');
    writeContainer(bytesOf(image), image.size());
    const bool done = runStages(state, outputName);
    if (done && plain) checkOutputs(input, outputName);
    checkAndClean(outputName);
    return 0;
}
