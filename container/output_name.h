// Turning a sub-file's stored name into a safe path inside the output directory.
#pragma once

#include <cstddef>

namespace container {

// Builds `prefix` + the sub-file's name into `path` (`size` bytes). The name is read within its
// field's `width`; when it holds a full stop and more than three characters follow the last
// one, it ends three characters after that full stop ("amss.mbnX" is written as "amss.mbn").
// Returns false, writing nothing useful, when the name (so cut) could leave the output
// directory or name a device: empty, "." or "..", holding '/', '\\', ':', a byte below 0x20 or
// 0x7F, or a Windows device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with or without an
// extension); or when the path would not fit `size` bytes with its terminating zero.
bool outputPathFor(const char* prefix, std::size_t prefixLength, const char* name,
                   std::size_t width, char* path, std::size_t size);

}  // namespace container
