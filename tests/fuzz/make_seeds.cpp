// Writes the starting corpus of the fuzz targets and a dictionary of the container's markers:
//   DIR/container_fuzz/         whole containers from the test container writer
//   DIR/container_sealed_fuzz/  the same containers as descriptions and as images to reseal
//   DIR/repack_fuzz/            packed streams of many blocks, after three bytes of choices
//   DIR/inflate_stream_fuzz/    the packed streams of the seed containers, after the three
//                               bytes that choose the slices, the room and the limit
//   DIR/deflate_walk_fuzz/      raw deflate streams of every kind of block, after the byte that
//                               chooses the room
//   DIR/kestrix.dict
//
// Usage: kestrix_fuzz_seeds DIR
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "dzlib/inflate.h"
#include "tests/fuzz/sealed_input.h"
#include "tests/support/container_writer.h"

namespace {

using fuzzsupport::SealedInput;
using fuzzsupport::SubfileInput;

struct Seed {
    SealedInput input;
    std::string image;  // the container the description builds (without its damage)
};

std::string lines(const char* text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += std::to_string(i) + ": " + text + "\n";
    return out;
}

Seed seedFor(const std::vector<SubfileInput>& subfiles, std::uint8_t outputNameLength = 2) {
    Seed seed;
    seed.input.version = 2;
    seed.input.subfileCount = static_cast<std::uint32_t>(subfiles.size());
    seed.input.creationTime = 129143443100000000ULL;
    seed.input.phoneModel = "KX100";
    seed.input.internalName = "KX100AT-00-V10a-EUR-XX";
    seed.input.chip = "QSD8650";
    seed.input.fileName = "KX100AT-00-V10a.dz";
    seed.input.outputNameLength = outputNameLength;
    seed.input.subfiles = subfiles;
    seed.input.room = 1u << 20;

    testsupport::ContainerPlan plan;
    plan.version = seed.input.version;
    plan.creationTime = seed.input.creationTime;
    for (const SubfileInput& subfile : subfiles) {
        testsupport::SubfilePlan planned(subfile.name, subfile.type, subfile.data);
        planned.gzip = (subfile.kind & 3) == fuzzsupport::kGzip;
        planned.level = fuzzsupport::levelOf(subfile.kind);
        if ((subfile.kind & 3) == fuzzsupport::kStored) {
            planned.packed = subfile.data;
            std::vector<std::uint8_t> unpacked(1u << 20);
            std::size_t length = 0;
            dz::inflateWithZlib(reinterpret_cast<const std::uint8_t*>(subfile.data.data()),
                                subfile.data.size(), unpacked.data(), unpacked.size(), length);
            planned.content.assign(reinterpret_cast<const char*>(unpacked.data()), length);
        }
        plan.subfiles.push_back(planned);
    }
    seed.image = testsupport::buildContainer(plan).flat();
    return seed;
}

SubfileInput subfile(std::string name, std::uint8_t type, std::string data,
                     std::uint8_t kind = fuzzsupport::kZlib | 0x08) {
    SubfileInput out;
    out.kind = kind;
    out.name = std::move(name);
    out.type = type;
    out.data = std::move(data);
    return out;
}

std::vector<Seed> seeds() {
    std::string boot = "KXBOOT01\n" + lines("ramdisk entry /init.kx100.rc 0750 root root", 8);
    boot.resize(2048, '\0');
    std::vector<Seed> out;
    out.push_back(seedFor({subfile("boot.img", 1, boot, fuzzsupport::kGzip | 0x08),
                           subfile("modem.bin", 2, lines("baseband tables", 24)),
                           subfile("modem.bin", 2, lines("calibration data", 24)),
                           subfile("version.txt", 3, "model=KX100\nchip=QSD8650\n")}));
    out.push_back(seedFor({}));
    out.push_back(seedFor({subfile("amss.mbnX", 7, lines("amss", 40), fuzzsupport::kZlib | 0x0c)}));
    out.push_back(seedFor({subfile("empty.bin", 32, ""),
                           subfile("stored.bin", 33, lines("stored", 5), fuzzsupport::kZlib)}));
    out.push_back(seedFor({subfile(std::string(144, 'n'), 4, "long name")}, 140));
    out.push_back(seedFor(
        {subfile("raw.bin", 5, testsupport::deflateContent("raw", true), fuzzsupport::kStored)}));
    std::string mixed;
    for (int i = 0; i < 4096; ++i) mixed += static_cast<char>((i * 7919) >> (i % 5));
    out.push_back(seedFor({subfile("mixed.bin", 6, mixed, fuzzsupport::kZlib | 0x04)}));
    return out;
}

// Damaged forms of a valid container with at least two sub-files: each stops at another check.
std::vector<std::string> damaged(const std::string& valid) {
    const std::uint32_t bodySize = testsupport::get32(valid, valid.size() - 8);
    const std::size_t body = valid.size() - 4 - bodySize;
    const std::uint32_t first = testsupport::get32(valid, body + 8);
    const std::uint32_t second = testsupport::get32(valid, body + 16);
    std::vector<std::string> out;
    out.push_back(valid.substr(0, valid.size() / 2));  // cut short
    std::string bytes = valid;
    bytes[second] = 'X';  // the second sub-file's marker
    out.push_back(bytes);
    bytes = valid;
    bytes[first + 196 + 3] ^= 0x55;  // inside the first packed stream
    out.push_back(bytes);
    bytes = valid;
    testsupport::put32(bytes, body, 200);  // more entries than the body holds
    testsupport::resealTable(bytes);
    out.push_back(bytes);
    bytes = valid;
    testsupport::put32(bytes, body + 16, static_cast<std::uint32_t>(valid.size()));  // past the end
    testsupport::resealTable(bytes);
    out.push_back(bytes);
    bytes = valid;
    bytes[first + 164] ^= 0x01;  // the stored digest of the unpacked content
    testsupport::reseal(bytes, first, 180);
    out.push_back(bytes);
    return out;
}

bool write(const std::filesystem::path& path, const std::string& bytes) {
    if (!testsupport::writeFile(path.string(), bytes)) {
        std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
        return false;
    }
    return true;
}

// About 96 KiB of words (so that the stream fits the fuzzing length), packed by zlib with `flush`
// every `every` bytes (in a gzip wrapper when `gzip`) into a stream of many blocks, after the three
// bytes of choices repack_fuzz reads.
std::string repackSeed(const std::string& choices, int level, int flush, std::size_t every,
                       bool gzip) {
    static const char* const kWords[] = {"system ", "image ", "block ", "sparse\n", "0x1000 "};
    std::string content;
    std::uint32_t x = 5;
    while (content.size() < (96u << 10)) {
        x = x * 1103515245u + 12345u;
        content += kWords[(x >> 16) % 5];
    }
    z_stream s{};
    if (deflateInit2(&s, level, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return "";
    }
    std::string out(deflateBound(&s, content.size()) + content.size() / 10, '\0');
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    for (std::size_t at = 0; at < content.size(); at += every) {
        const std::size_t piece = std::min(every, content.size() - at);
        s.next_in = reinterpret_cast<Bytef*>(content.data() + at);
        s.avail_in = static_cast<uInt>(piece);
        deflate(&s, at + piece == content.size() ? Z_FINISH : flush);
    }
    out.resize(s.total_out);
    deflateEnd(&s);
    return choices + out;
}

// `content` packed by zlib into raw deflate data at `level` with `strategy`, with a full flush
// every `every` bytes (0 for none), after the byte of choice that deflate_walk_fuzz reads.
std::string rawSeed(char choice, const std::string& content, int level, int strategy,
                    std::size_t every) {
    z_stream s{};
    if (deflateInit2(&s, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) return "";
    std::string out(deflateBound(&s, content.size()) * 2 + 1024, '\0');
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    if (every == 0) every = content.size() + 1;
    std::size_t at = 0;
    do {
        const std::size_t piece = std::min(every, content.size() - at);
        s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data() + at));
        s.avail_in = static_cast<uInt>(piece);
        at += piece;
        deflate(&s, at == content.size() ? Z_FINISH : Z_FULL_FLUSH);
    } while (at < content.size());
    out.resize(s.total_out);
    deflateEnd(&s);
    return std::string(1, choice) + out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const std::filesystem::path whole = root / "container_fuzz";
    const std::filesystem::path sealed = root / "container_sealed_fuzz";
    const std::filesystem::path streams = root / "inflate_stream_fuzz";
    std::filesystem::create_directories(whole);
    std::filesystem::create_directories(streams);
    std::filesystem::create_directories(sealed);

    const std::vector<Seed> all = seeds();
    int number = 0;
    for (const std::string& bytes : damaged(all.front().image)) {
        const std::string name = "damaged-" + std::to_string(number++);
        SealedInput image;
        image.mode = 1;
        image.image = bytes;
        if (!write(whole / name, bytes) ||
            !write(sealed / (name + "-image"), fuzzsupport::encodeSealedInput(image))) {
            return 1;
        }
    }
    number = 0;
    for (const Seed& seed : all) {
        const std::string name = "seed-" + std::to_string(number++);
        SealedInput image;
        image.mode = 1;
        image.image = seed.image;
        if (!write(whole / name, seed.image) ||
            !write(sealed / (name + "-built"), fuzzsupport::encodeSealedInput(seed.input)) ||
            !write(sealed / (name + "-image"), fuzzsupport::encodeSealedInput(image))) {
            return 1;
        }
    }
    const std::filesystem::path repack = root / "repack_fuzz";
    std::filesystem::create_directories(repack);
    const std::string repackSeeds[] = {
        repackSeed(std::string("\x55\x55\x01", 3), 6, Z_SYNC_FLUSH, 3000, false),
        repackSeed(std::string("\x00\x80\x82", 3), 6, Z_SYNC_FLUSH, 3000, true),
        repackSeed(std::string("\xff\xf0\x10", 3), 1, Z_FULL_FLUSH, 5000, false),
        repackSeed(std::string("\x00\x00\x04", 3), 9, Z_NO_FLUSH, 96u << 10, false),
    };
    int repackNumber = 0;
    for (const std::string& seed : repackSeeds) {
        const std::string name = "seed-" + std::to_string(repackNumber++);
        if (seed.size() < 4 || !write(repack / name, seed)) return 1;
    }
    // Every packed stream of the seeds, given whole and in pieces, within a limit above its
    // content (255: 16,320 bytes) and one below it.
    number = 0;
    for (const Seed& seed : all) {
        for (const SubfileInput& subfile : seed.input.subfiles) {
            const std::string packed =
                (subfile.kind & 3) == fuzzsupport::kStored
                    ? subfile.data
                    : testsupport::deflateContent(subfile.data,
                                                  (subfile.kind & 3) == fuzzsupport::kGzip,
                                                  fuzzsupport::levelOf(subfile.kind));
            for (const char* choice : {"\x7f\x7f\xff", "\x00\x80\xff", "\x85\x03\x01"}) {
                if (!write(streams / ("stream-" + std::to_string(number++)),
                           std::string(choice, 3) + packed)) {
                    return 1;
                }
            }
        }
    }
    // Raw deflate data of every kind of block, in rooms that hold it and ones that do not.
    const std::filesystem::path walks = root / "deflate_walk_fuzz";
    std::filesystem::create_directories(walks);
    const std::string text = lines("service vendor.modem 0x1000 boot", 120);
    const std::string walkSeeds[] = {
        rawSeed('\x85', text, 6, Z_DEFAULT_STRATEGY, 0),
        rawSeed('\x01', text, 6, Z_DEFAULT_STRATEGY, 0),
        rawSeed('\x85', text, 1, Z_FIXED, 0),
        rawSeed('\x85', text, 6, Z_HUFFMAN_ONLY, 0),
        rawSeed('\x85', text, 6, Z_RLE, 0),
        rawSeed('\x85', text, 0, Z_DEFAULT_STRATEGY, 0),
        rawSeed('\x85', text, 6, Z_DEFAULT_STRATEGY, 700),
        rawSeed('\x7f', std::string(3000, '\0'), 9, Z_DEFAULT_STRATEGY, 1000),
        rawSeed('\x00', "", 6, Z_DEFAULT_STRATEGY, 0),
    };
    int walkNumber = 0;
    for (const std::string& seed : walkSeeds) {
        if (seed.size() < 2 || !write(walks / ("seed-" + std::to_string(walkNumber++)), seed)) {
            return 1;
        }
    }
    const char* words[] = {"MSTX", "METX", "SSTX", "OSTX", "ESTX", "\x1f\x8b\x08", "\x78\x9c"};
    std::string dictionary;
    for (const char* word : words) {
        dictionary += "\"";
        for (const char* c = word; *c != '\0'; ++c) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(*c));
            dictionary += escaped;
        }
        dictionary += "\"\n";
    }
    if (!write(root / "kestrix.dict", dictionary)) return 1;
    std::printf("wrote %d seeds to each corpus in %s\n", number, root.string().c_str());
    return 0;
}
