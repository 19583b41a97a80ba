// Text for scripts and messages: container bytes as UTF-8 or hex, numbers, times.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dz {

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

}  // namespace dz
