// Text for people and scripts: container bytes as UTF-8 or hex, numbers, times.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dzlib/paths.h"
#include "dzlib/text.h"

namespace kx {

// Container bytes as UTF-8 or hex, numbers and times (dzlib/text.h), and paths and their text
// (dzlib/paths.h), which the manifest and the pack engine in dzlib use too.
using dz::bytesOfHex;
using dz::hexOf;
using dz::isoTime;
using dz::pathOfText;
using dz::textOfPath;
using dz::utf8Text;
using dz::withCommas;

// Bytes in the largest binary unit that keeps the number at or above 1: "1.5 MiB".
std::string inUnits(double bytes);

// A size of memory from its text: a count of bytes, or of KiB, MiB or GiB after "K", "M" or "G"
// (or "KiB", "MiB", "GiB"), in either case: "512M", "2GiB", "1048576". False for anything else,
// for 0 and for a size past 64 bits.
bool sizeOfText(std::string_view text, std::uint64_t& bytes);

}  // namespace kx
