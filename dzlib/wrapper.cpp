// Reading and writing the wrappers of deflate streams.
#include "dzlib/wrapper.h"

#include <zlib.h>

#include <cstring>

namespace dz {
namespace {

// gzip header flags.
constexpr unsigned kText = 0x01;
constexpr unsigned kHeaderCrc = 0x02;
constexpr unsigned kExtra = 0x04;
constexpr unsigned kName = 0x08;
constexpr unsigned kComment = 0x10;
constexpr unsigned kReserved = 0xE0;

void put16(std::string& out, std::uint32_t value) {
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>(value >> 8 & 0xff);
}

void put32(std::string& out, std::uint32_t value) {
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

// A zero-terminated field of the gzip header at `at`; false when it runs past the end.
bool zeroTerminated(const std::uint8_t* data, std::size_t size, std::size_t& at,
                    std::optional<std::string>& field) {
    const void* zero = std::memchr(data + at, 0, size - at);
    if (zero == nullptr) return false;
    const auto end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data);
    field = std::string(reinterpret_cast<const char*>(data + at), end - at);
    at = end + 1;
    return true;
}

bool zlibHeaderIsAccepted(const std::uint8_t header[2]) {
    const unsigned method = header[0] & 0x0f;
    const unsigned window = header[0] >> 4;
    const bool presetDictionary = (header[1] & 0x20) != 0;
    return method == 8 && window <= 7 && !presetDictionary &&
           (header[0] * 256u + header[1]) % 31 == 0;
}

}  // namespace

std::size_t readWrapperHeader(const std::uint8_t* data, std::size_t size, Wrapper& wrapper) {
    wrapper = Wrapper();
    if (size < 2) return 0;
    if (data[0] != 0x1f || data[1] != 0x8b) {
        wrapper.zlibHeader[0] = data[0];
        wrapper.zlibHeader[1] = data[1];
        return zlibHeaderIsAccepted(wrapper.zlibHeader) ? 2 : 0;
    }
    wrapper.gzip = true;
    if (size < 10 || data[2] != 8) return 0;
    const unsigned flags = data[3];
    if ((flags & kReserved) != 0) return 0;
    wrapper.text = (flags & kText) != 0;
    wrapper.headerCrc = (flags & kHeaderCrc) != 0;
    wrapper.modificationTime =
        data[4] | data[5] << 8 | data[6] << 16 | static_cast<std::uint32_t>(data[7]) << 24;
    wrapper.extraFlags = data[8];
    wrapper.operatingSystem = data[9];
    std::size_t at = 10;
    if ((flags & kExtra) != 0) {
        if (size - at < 2) return 0;
        const std::size_t length = data[at] | data[at + 1] << 8;
        at += 2;
        if (size - at < length) return 0;
        wrapper.extra = std::string(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }
    if ((flags & kName) != 0 && !zeroTerminated(data, size, at, wrapper.name)) return 0;
    if ((flags & kComment) != 0 && !zeroTerminated(data, size, at, wrapper.comment)) return 0;
    if (!wrapper.headerCrc) return at;
    // inflate checks the header's own CRC: the low 16 bits of the CRC-32 of the bytes before it.
    if (size - at < 2) return 0;
    const uLong crc = crc32(0, data, static_cast<uInt>(at));
    if ((crc & 0xffff) != (data[at] | static_cast<unsigned>(data[at + 1]) << 8)) return 0;
    return at + 2;
}

bool readWrapper(const std::uint8_t* data, std::size_t size, Wrapper& wrapper) {
    return readWrapperHeader(data, size, wrapper) != 0;
}

bool wrapperIsWritable(const Wrapper& wrapper) {
    if (!wrapper.gzip) return zlibHeaderIsAccepted(wrapper.zlibHeader);
    const auto holdsZero = [](const std::optional<std::string>& field) {
        return field && field->find('\0') != std::string::npos;
    };
    return (!wrapper.extra || wrapper.extra->size() <= 0xffff) && !holdsZero(wrapper.name) &&
           !holdsZero(wrapper.comment);
}

std::string wrapperHeader(const Wrapper& wrapper) {
    if (!wrapper.gzip) {
        return std::string(reinterpret_cast<const char*>(wrapper.zlibHeader), 2);
    }
    std::string header = "\x1f\x8b\x08";
    unsigned flags = (wrapper.text ? kText : 0) | (wrapper.headerCrc ? kHeaderCrc : 0) |
                     (wrapper.extra ? kExtra : 0) | (wrapper.name ? kName : 0) |
                     (wrapper.comment ? kComment : 0);
    header += static_cast<char>(flags);
    put32(header, wrapper.modificationTime);
    header += static_cast<char>(wrapper.extraFlags);
    header += static_cast<char>(wrapper.operatingSystem);
    if (wrapper.extra) {
        put16(header, static_cast<std::uint32_t>(wrapper.extra->size()));
        header += *wrapper.extra;
    }
    if (wrapper.name) header += *wrapper.name + '\0';
    if (wrapper.comment) header += *wrapper.comment + '\0';
    if (wrapper.headerCrc) {
        const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(header.data()),
                                static_cast<uInt>(header.size()));
        put16(header, static_cast<std::uint32_t>(crc & 0xffff));
    }
    return header;
}

std::string wrapperTrailer(const Wrapper& wrapper, std::uint32_t check, std::uint64_t length) {
    std::string trailer;
    if (!wrapper.gzip) {
        // Adler-32, most significant byte first.
        for (int shift = 24; shift >= 0; shift -= 8) {
            trailer += static_cast<char>(check >> shift & 0xff);
        }
        return trailer;
    }
    put32(trailer, check);
    put32(trailer, static_cast<std::uint32_t>(length));  // the length modulo 2^32
    return trailer;
}

}  // namespace dz
