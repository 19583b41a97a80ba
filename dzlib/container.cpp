// Opening a container.
#include "dzlib/container.h"

#include "platform/platform.h"

namespace dz {

bool Container::open(const char* path) {
    file_ = platform::File::openExclusiveRead(path);
    length_ = file_.isOpen() ? file_.size() : -1;
    return file_.isOpen();
}

}  // namespace dz
