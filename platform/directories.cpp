// Making a folder with its parents, the same way on both systems.
#include <string>

#include "platform/platform.h"

namespace platform {

bool createDirectories(const char* path) {
    const std::string whole = path;
    if (whole.empty()) return true;
    // Each parent in turn, from the first that is not the root; those that exist already are
    // left as they are.
    for (std::size_t at = 1; at < whole.size(); ++at) {
        if (whole[at] != '/' && whole[at] != kPathSeparator) continue;
        if (whole[at - 1] == '/' || whole[at - 1] == kPathSeparator || whole[at - 1] == ':') {
            continue;
        }
        createDirectory(whole.substr(0, at).c_str());
    }
    createDirectory(path);
    return Directory::open(path).isOpen();
}

}  // namespace platform
