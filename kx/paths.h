// What stands at a path, and how two paths relate once links are followed: the checks kx makes
// before it writes a manifest or a container, or reads the files a manifest names.
#pragma once

#include <filesystem>
#include <string>

namespace kx {

// Why nothing may be written at `path`: "it is a folder", or "it is not a regular file" (a
// device, FIFO or socket); empty when it is missing, a regular file, or a link (which a writer
// replaces, never follows).
std::string specialFileAt(const std::filesystem::path& path);

// True when `a` and `b` name one file, links followed (also when neither exists yet).
bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// True when `path` stays inside `folder` once every link on the way is followed.
bool staysInside(const std::filesystem::path& folder, const std::filesystem::path& path);

}  // namespace kx
