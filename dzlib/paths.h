// Paths and their text, what stands at a path, and how two paths relate once links are followed:
// the checks made before a manifest or a container is written, or the files a manifest names are
// read.
#pragma once

#include <filesystem>
#include <string>

namespace dz {

// A path from its text and back. Paths are UTF-8 text: on Windows the programs run in the UTF-8
// code page; the text from a path has '/' between its parts.
std::filesystem::path pathOfText(const std::string& text);
std::string textOfPath(const std::filesystem::path& path);

// Why nothing may be written at `path`: "it is a folder", or "it is not a regular file" (a
// device, FIFO or socket); empty when it is missing, a regular file, or a link (which a writer
// replaces, never follows).
std::string specialFileAt(const std::filesystem::path& path);

// True when `a` and `b` name one file, links followed (also when neither exists yet).
bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// True when `path` stays inside `folder` once every link on the way is followed.
bool staysInside(const std::filesystem::path& folder, const std::filesystem::path& path);

}  // namespace dz
