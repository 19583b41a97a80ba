// Reading one integer from a Windows-style initialisation file. The Windows build finds a key's
// text with the system's profile call; the other systems find it with profileIntegerFromText,
// which reads the file the way that call does. Both turn the text into a number with
// profileNumber, so that the same text gives the same number on every system.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Files of this size or more are not read as settings: Windows' profile call takes only the
// low 32 bits of a file's size, so it would read just the start of such a file.
constexpr std::uint64_t kProfileSizeLimit = std::uint64_t{1} << 32;

// The number a key's text stands for, by the rules of the Windows profile-integer call but
// without its 32-bit wrap-around and without its 29-character view of the text: characters up
// to the space are skipped, one '+' or '-' may follow, then "0x", "0o" or "0b" (lower case)
// chooses base 16, 8 or 2, and the digits of that base up to the first other character give
// the number. A number beyond any meaningful setting is held at kSaturatedNumber (or its
// negative); no digits give 0; an empty text gives `fallback`. Characters outside ASCII are
// never digits nor skipped, whatever their encoding.
constexpr long long kSaturatedNumber = 1LL << 40;
long long profileNumber(const char* text, std::size_t length, int fallback);
long long profileNumber(const wchar_t* text, std::size_t length, int fallback);

// The number of `key` in the first `[section]` of the file's bytes, found as Windows' profile
// call finds it:
// - a UTF-8 byte-order mark at the start is skipped; after a UTF-16 one (either byte order) the
//   text is UTF-16, which is rewritten in place. Other bytes are read as they stand;
// - lines end at every CR and LF; spaces, tabs, VT, FF and Ctrl-Z around a line, a section
//   name, a key and a value do not count;
// - a line "[name]" (up to the last ']') starts a section; only the first section of each name
//   is read, and names are compared without regard to ASCII case;
// - in a key line the name ends at the first '='; a line without '=' is a key without a value.
//   The first line with the key counts. A name or value ends at a zero byte;
// - one pair of matching quotes (" or ') around the whole value is removed.
// `fallback` when the section or key is missing or the key has no value; otherwise
// profileNumber of the value.
long long profileIntegerFromText(char* text, std::size_t length, const char* section,
                                 const char* key, int fallback);

}  // namespace platform
