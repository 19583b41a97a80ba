// An open container: the file, its length, and reads at 64-bit positions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace dz {

class Container {
  public:
    // Opens the regular file at `path` for reading, with no sharing. False when it cannot be
    // opened (missing, not a regular file, held by another run); platform::lastErrorText() says
    // why.
    bool open(const char* path);
    bool isOpen() const { return file_.isOpen(); }
    void close() { file_.close(); }

    // The container's length in bytes (-1 when it could not be had).
    std::int64_t length() const { return length_; }

    // What tells later whether the container was written to meanwhile (platform::File::Stamp).
    platform::File::Stamp stamp() const { return file_.stamp(); }

    // Reads up to `length` bytes at `position`; returns the count read, short at the end of the
    // container or on a read error. Several threads may read at once.
    std::size_t readAt(std::uint64_t position, void* buffer, std::size_t length) const {
        return file_.readAt(position, buffer, length);
    }

    // The `length` bytes at `position` read in place, or an empty view (platform::FileView):
    // the caller then reads them with readAt.
    platform::FileView view(std::uint64_t position, std::size_t length) const {
        return file_.view(position, length);
    }

    // True when the entry `name` of `folder` is this container's own file.
    bool isAt(const platform::Directory& folder, const char* name) const {
        return file_.isSameFileAs(folder, name);
    }

  private:
    platform::File file_;
    std::int64_t length_ = -1;
};

}  // namespace dz
