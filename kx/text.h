// Text for people and scripts: container bytes as UTF-8 or hex, numbers, times.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kx {

// The bytes as UTF-8 text: well-formed characters as they are, every other byte as U+FFFD.
std::string utf8Text(std::string_view bytes);

// The bytes in lower-case hexadecimal, two digits each.
std::string hexOf(std::string_view bytes);

// The bytes back from hexOf's form (either case); false when `hex` is not such a text.
bool bytesOfHex(std::string_view hex, std::string& bytes);

// A Windows file time (100-nanosecond intervals since 1601-01-01 UTC) as ISO 8601 in UTC,
// "2010-03-29T13:51:50Z", with a fraction of a second only when it has one; empty for a time
// after the year 9999.
std::string isoTime(std::uint64_t fileTime);

// A count with thousands separated by commas: 1,234,567.
std::string withCommas(std::uint64_t value);

// A path from its text and back. Paths are UTF-8 text: on Windows the programs run in the UTF-8
// code page; the text from a path has '/' between its parts.
std::filesystem::path pathOfText(const std::string& text);
std::string textOfPath(const std::filesystem::path& path);

// Bytes in the largest binary unit that keeps the number at or above 1: "1.5 MiB".
std::string inUnits(double bytes);

// A size of memory from its text: a count of bytes, or of KiB, MiB or GiB after "K", "M" or "G"
// (or "KiB", "MiB", "GiB"), in either case: "512M", "2GiB", "1048576". False for anything else,
// for 0 and for a size past 64 bits.
bool sizeOfText(std::string_view text, std::uint64_t& bytes);

}  // namespace kx
