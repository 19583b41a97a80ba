// The test container writer.
#include "tests/support/container_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "digest/md5.h"

namespace testsupport {
namespace {

void putText(std::string& bytes, std::size_t position, const std::string& text, std::size_t width) {
    bytes.replace(position, std::min(text.size(), width), text.substr(0, width));
}

std::string sealed(std::string record) {
    return record + md5Of(record);
}

}  // namespace

std::string noise(std::size_t length, std::uint32_t seed) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

std::string md5Of(const std::string& bytes) {
    digest::Digest d = digest::md5Digest(bytes.data(), bytes.size());
    return std::string(d.begin(), d.end());
}

void put32(std::string& bytes, std::size_t position, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[position + i] = static_cast<char>(value >> (8 * i));
}

std::uint32_t get32(const std::string& bytes, std::size_t position) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[position + i]))
                 << (8 * i);
    }
    return value;
}

void put64(std::string& bytes, std::size_t position, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes[position + i] = static_cast<char>(value >> (8 * i));
}

void reseal(std::string& bytes, std::size_t position, std::size_t length) {
    bytes.replace(position + length, 16, md5Of(bytes.substr(position, length)));
}

void resealTable(std::string& bytes) {
    std::uint32_t size = 0;
    std::memcpy(&size, bytes.data() + bytes.size() - 8, 4);
    std::size_t begin = bytes.size() - 24 - size;
    bytes.replace(begin + 4, 16, md5Of(bytes.substr(begin + 20, size)));
}

std::string deflateContent(const std::string& content, bool gzip, int level) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&stream, content.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) throw std::runtime_error("deflate");
    return out;
}

ContainerImage buildContainer(const ContainerPlan& plan) {
    ContainerImage image;

    std::string header(300, '\0');
    header.replace(0, 8, "MSTXMETX");
    put32(header, 8, plan.version);
    put32(header, 12, plan.subfileCount.value_or(static_cast<std::uint32_t>(plan.subfiles.size())));
    put64(header, 16, plan.creationTime);
    putText(header, 24, plan.phoneModel, 8);
    putText(header, 32, plan.internalName, 80);
    putText(header, 112, plan.chip, 28);
    putText(header, 140, plan.fileName, 160);
    image.pieces.push_back({0, sealed(header)});

    std::uint64_t next = 316;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
    for (const SubfilePlan& subfile : plan.subfiles) {
        std::string packed = subfile.packed
                                 ? *subfile.packed
                                 : deflateContent(subfile.content, subfile.gzip, subfile.level);
        std::string record(180, '\0');
        record.replace(0, 4, "SSTX");
        put32(record, 16, subfile.packedSize.value_or(static_cast<std::uint32_t>(packed.size())));
        putText(record, 20, subfile.name, 144);
        record.replace(164, 16, md5Of(subfile.content));
        std::uint64_t at = subfile.at.value_or(next);
        image.pieces.push_back({at, sealed(record) + packed});
        image.subfileAt.push_back(at);
        entries.emplace_back(subfile.type, static_cast<std::uint32_t>(at));
        next = at + 196 + packed.size();
    }
    if (plan.entries) entries = *plan.entries;

    std::string body(4 + 8 * entries.size() + 4, '\0');
    put32(body, 0, static_cast<std::uint32_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        put32(body, 4 + 8 * i, entries[i].first);
        put32(body, 8 + 8 * i, entries[i].second);
    }
    put32(body, body.size() - 4, static_cast<std::uint32_t>(body.size()));
    image.tableAt = plan.tableAt.value_or(next);
    image.pieces.push_back({image.tableAt, "OSTX" + md5Of(body) + body + "ESTX"});
    for (const auto& piece : image.pieces) {
        image.length = std::max(image.length, piece.position + piece.bytes.size());
    }
    return image;
}

std::string ContainerImage::flat() const {
    std::string bytes(length, '\0');
    for (const Piece& piece : pieces)
        bytes.replace(piece.position, piece.bytes.size(), piece.bytes);
    return bytes;
}

bool ContainerImage::writeTo(const std::string& path) const {
    // Sizing the file first leaves every hole sparse.
    { std::ofstream create(path, std::ios::binary | std::ios::trunc); }
    std::error_code error;
    std::filesystem::resize_file(path, length, error);
    if (error) return false;
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    for (const Piece& piece : pieces) {
        out.seekp(static_cast<std::streamoff>(piece.position));
        out.write(piece.bytes.data(), static_cast<std::streamsize>(piece.bytes.size()));
    }
    out.close();
    return !out.fail();
}

bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
