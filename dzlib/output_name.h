// Turning a sub-file's stored name into a safe file name inside the output folder.
#pragma once

#include <cstddef>
#include <string>

namespace dz {

// The file name a sub-file is written to, from its name field of `width` bytes: the name read
// within its width; when it holds a full stop and more than three characters follow the last
// one, it ends three characters after that full stop ("amss.mbnX" is written as "amss.mbn").
// Empty when the name (so cut) could leave the output folder or name a device: empty, "." or
// "..", holding '/', '\\', ':', a byte below 0x20 or 0x7F, a device name (CON, PRN, AUX, NUL,
// COM1-COM9, LPT1-LPT9, with or without an extension), or a name this system's file systems
// cannot hold as itself.
std::string outputNameFor(const char* field, std::size_t width);

}  // namespace dz
