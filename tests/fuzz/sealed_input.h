// The input of container_sealed_fuzz: a description of a container, from which the target
// builds one with every marker, size and digest right (or reseals one given whole), so that the
// fuzzer reaches extraction, output names, both inflate backends and the joining of outputs.
//
// All integers are little-endian; an input that runs out reads as zeros from there on.
//   u8 mode         bit 0 set: the rest of the input is a container image, resealed in place
//   -- otherwise --
//   u32 version, u32 subfile count, u64 creation time
//   str8 phone model, str8 internal name, str8 chip, str8 file name
//   u8 output name length (the output directory is that many 'o', plus one)
//   u8 sub-file count (modulo 9), then for each sub-file:
//     u8 kind         bits 0-1 packing: 0 zlib, 1 gzip, 2 the data is the packed bytes,
//                       3 zlib with damage; bits 2-3 level 0, 1, 6 or 9; bit 4 a stored packed
//                       size follows; bit 5 a header position follows; bit 6 name from the pool
//     u8 pool index (bit 6) or str8 name
//     u8 type
//     str16 data      the content, or the packed bytes
//     u32 packed size (bit 4), u16 position (bit 5)
//     damage (packing 3)
//   u8 entries      bit 7 set: (bits 0-6) entries follow, each u8 type and u16 target (a
//                   sub-file's index when below the sub-file count, else a header offset);
//                   otherwise one entry for each sub-file
//   damage          to the finished container, after every digest was written
//   u32 room        output room for the direct comparison of the two inflate backends
// where strN is an N-bit length and that many bytes, and damage is a u8 count (modulo 8) of
// u16 position (modulo the length) and u8 mask to exclusive-or there.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fuzzsupport {

class ByteReader {
  public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint64_t number(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            if (at_ < size_) value |= static_cast<std::uint64_t>(data_[at_++]) << (8 * i);
        }
        return value;
    }
    std::uint8_t u8() { return static_cast<std::uint8_t>(number(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(number(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(number(4)); }
    std::uint64_t u64() { return number(8); }
    std::string bytes(std::size_t length) {
        if (length > size_ - at_) length = size_ - at_;
        std::string out(reinterpret_cast<const char*>(data_ + at_), length);
        at_ += length;
        return out;
    }
    std::string str8() { return bytes(u8()); }
    std::string str16() { return bytes(u16()); }
    std::string rest() { return bytes(size_ - at_); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

class ByteWriter {
  public:
    void number(std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out_.push_back(static_cast<char>(value >> (8 * i)));
    }
    void u8(std::uint8_t value) { number(value, 1); }
    void u16(std::uint16_t value) { number(value, 2); }
    void u32(std::uint32_t value) { number(value, 4); }
    void u64(std::uint64_t value) { number(value, 8); }
    void bytes(const std::string& text) { out_ += text; }
    void str8(const std::string& text) {
        u8(static_cast<std::uint8_t>(text.size()));
        bytes(text.substr(0, 255));
    }
    void str16(const std::string& text) {
        u16(static_cast<std::uint16_t>(text.size()));
        bytes(text.substr(0, 65535));
    }
    const std::string& text() const { return out_; }

  private:
    std::string out_;
};

using Damage = std::vector<std::pair<std::uint16_t, std::uint8_t>>;

enum Packing : std::uint8_t { kZlib = 0, kGzip = 1, kStored = 2, kDamaged = 3 };
constexpr std::uint8_t kHasPackedSize = 0x10;
constexpr std::uint8_t kHasPosition = 0x20;
constexpr std::uint8_t kPooledName = 0x40;
constexpr std::uint8_t kExplicitEntries = 0x80;

// The compression level a sub-file's kind asks for (bits 2-3).
inline int levelOf(std::uint8_t kind) {
    static const int kLevels[4] = {0, 1, 6, 9};
    return kLevels[(kind >> 2) & 3];
}

// Names from the pool join outputs (the same name twice), cut extensions and test the refusals.
inline const std::vector<std::string>& namePool() {
    static const std::vector<std::string> pool = {
        "boot.img", "modem.bin", "amss.mbnX", "amss.mbn", "system.img", "a",          ".",
        "..",       "../x",      "a/b",       "a\\b",     "c:x",        "CON",        "nul.txt",
        "COM1.bin", "lpt9",      "COM0",      ".hidden",  "x.",         "x.abcdef",   "x\x01y",
        "x\x7fy",   "..a",       "a..",       "CONX",     "ok.tar.gz",  "AUX.longer", "prn."};
    return pool;
}

struct SubfileInput {
    std::uint8_t kind = 0;
    std::uint8_t poolIndex = 0;
    std::string name;
    std::uint8_t type = 1;
    std::string data;
    std::uint32_t packedSize = 0;
    std::uint16_t position = 0;
    Damage damage;
};

struct SealedInput {
    std::uint8_t mode = 0;
    std::string image;  // mode bit 0
    std::uint32_t version = 2;
    std::uint32_t subfileCount = 0;
    std::uint64_t creationTime = 0;
    std::string phoneModel, internalName, chip, fileName;
    std::uint8_t outputNameLength = 2;
    std::vector<SubfileInput> subfiles;
    std::vector<std::pair<std::uint8_t, std::uint16_t>> entries;
    bool explicitEntries = false;
    Damage damage;
    std::uint32_t room = 0;
};

inline Damage readDamage(ByteReader& in) {
    Damage damage(in.u8() % 8);
    for (auto& [position, mask] : damage) {
        position = in.u16();
        mask = in.u8();
    }
    return damage;
}

inline void writeDamage(ByteWriter& out, const Damage& damage) {
    out.u8(static_cast<std::uint8_t>(damage.size()));
    for (const auto& [position, mask] : damage) {
        out.u16(position);
        out.u8(mask);
    }
}

inline SealedInput decodeSealedInput(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    SealedInput input;
    input.mode = in.u8();
    if ((input.mode & 1) != 0) {
        input.image = in.rest();
        return input;
    }
    input.version = in.u32();
    input.subfileCount = in.u32();
    input.creationTime = in.u64();
    input.phoneModel = in.str8();
    input.internalName = in.str8();
    input.chip = in.str8();
    input.fileName = in.str8();
    input.outputNameLength = in.u8();
    input.subfiles.resize(in.u8() % 9);
    for (SubfileInput& subfile : input.subfiles) {
        subfile.kind = in.u8();
        if ((subfile.kind & kPooledName) != 0) {
            subfile.poolIndex = in.u8();
            subfile.name = namePool()[subfile.poolIndex % namePool().size()];
        } else {
            subfile.name = in.str8();
        }
        subfile.type = in.u8();
        subfile.data = in.str16();
        if ((subfile.kind & kHasPackedSize) != 0) subfile.packedSize = in.u32();
        if ((subfile.kind & kHasPosition) != 0) subfile.position = in.u16();
        if ((subfile.kind & 3) == kDamaged) subfile.damage = readDamage(in);
    }
    const std::uint8_t entries = in.u8();
    input.explicitEntries = (entries & kExplicitEntries) != 0;
    if (input.explicitEntries) {
        input.entries.resize(entries & 0x7f);
        for (auto& [type, target] : input.entries) {
            type = in.u8();
            target = in.u16();
        }
    }
    input.damage = readDamage(in);
    input.room = in.u32();
    return input;
}

inline std::string encodeSealedInput(const SealedInput& input) {
    ByteWriter out;
    out.u8(input.mode);
    if ((input.mode & 1) != 0) {
        out.bytes(input.image);
        return out.text();
    }
    out.u32(input.version);
    out.u32(input.subfileCount);
    out.u64(input.creationTime);
    out.str8(input.phoneModel);
    out.str8(input.internalName);
    out.str8(input.chip);
    out.str8(input.fileName);
    out.u8(input.outputNameLength);
    out.u8(static_cast<std::uint8_t>(input.subfiles.size()));
    for (const SubfileInput& subfile : input.subfiles) {
        out.u8(subfile.kind);
        if ((subfile.kind & kPooledName) != 0) {
            out.u8(subfile.poolIndex);
        } else {
            out.str8(subfile.name);
        }
        out.u8(subfile.type);
        out.str16(subfile.data);
        if ((subfile.kind & kHasPackedSize) != 0) out.u32(subfile.packedSize);
        if ((subfile.kind & kHasPosition) != 0) out.u16(subfile.position);
        if ((subfile.kind & 3) == kDamaged) writeDamage(out, subfile.damage);
    }
    if (input.explicitEntries) {
        out.u8(static_cast<std::uint8_t>(kExplicitEntries | input.entries.size()));
        for (const auto& [type, target] : input.entries) {
            out.u8(type);
            out.u16(target);
        }
    } else {
        out.u8(0);
    }
    writeDamage(out, input.damage);
    out.u32(input.room);
    return out.text();
}

}  // namespace fuzzsupport
