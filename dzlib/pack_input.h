// What a pack reads besides the original container: the manifest, and the files it names, each
// open and placed, with a stamp that tells later whether it was written to meanwhile.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "dzlib/manifest.h"
#include "platform/platform.h"

namespace dz {

// Why a manifest cannot be packed, or a part of it: what it concerns (a path as it was given or
// opened, "entry 3", "manifest"), what is wrong in English, and a stable code for scripts. The
// texts hold names and paths as they stand: a front end makes them safe to show.
struct Refusal {
    std::string subject;
    std::string what;
    std::string code = "refused";
};

// A file the manifest names, open for reading.
struct Source {
    std::string path;  // as it was opened
    platform::File file;
    platform::File::Stamp stamp;  // when it was opened
};

// "entry 3", for entry index 2.
std::string entryLabel(std::size_t index);

// Reads the manifest file: a regular file of at most kLargestManifest bytes. False, with the
// refusal, otherwise.
bool readManifest(const std::string& path, Manifest& manifest, Refusal& refusal);

// What no container can hold: more entries than a table holds, or a name Kestrix would not
// write. Every entry concerned is refused.
void checkEntries(const Manifest& manifest, std::vector<Refusal>& refusals);

// Opens the files the entries name (relative to `folder`, never leaving it, not even through a
// link) and fixes where each entry's content lies: when a file has grown or shrunk, the last
// piece in it takes what remains. Entries that name no file are left to be copied.
void placeContent(Manifest& manifest, const std::filesystem::path& folder,
                  std::map<std::string, Source>& sources, std::vector<Refusal>& refusals);

}  // namespace dz
