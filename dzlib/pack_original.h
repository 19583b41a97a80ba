// The original container of a manifest, for a pack: entries that name no file, and entries
// whose content is unchanged, are copied from it as they stand instead of being compressed
// again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "dzlib/manifest.h"
#include "dzlib/pack_input.h"
#include "dzlib/survey.h"

namespace dz {

struct Original {
    bool open = false;
    Survey survey;
    platform::File::Stamp stamp;  // when it was opened
    // It is the container the manifest was written from, unchanged since: the same size, main
    // header digest and modification time. What that extraction proved need not be again.
    bool unchanged = false;
    // For each manifest entry, the original's entry it may be copied from: its header passed,
    // it overlaps no other, and its type, name, 12 uninterpreted bytes and wrapper are the
    // manifest's. None when it may not.
    std::vector<std::optional<std::uint32_t>> copyFrom;
};

// Opens the original container (`base`, or when it is empty the one the manifest records, by
// its path from the manifest's folder) unless `recompress`, and finds what may be copied from
// it. A `base` that cannot be opened is refused. An entry that names no file must be copied:
// when the original is missing, is not the container the manifest was written from (another
// size or main header digest), or cannot give that entry, every entry concerned is refused,
// with how to go on.
void openOriginal(const Manifest& manifest, const std::string& base, bool recompress,
                  const std::filesystem::path& manifestFolder, Original& original,
                  std::vector<Refusal>& refusals);

}  // namespace dz
