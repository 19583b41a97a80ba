// Making a folder with its parents, the same way on both systems.
#include <optional>
#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

// Makes one folder level unless something stands there already; false when it could not be
// made and nothing stands there, with the reason it could not be made.
bool makeLevel(const std::string& level) {
    if (createDirectory(level.c_str())) return true;
    LastErrorKept notMade;
    return Directory::open("").holds(level.c_str());
}

}  // namespace

bool createDirectories(const char* path) {
    const std::string whole = path;
    if (whole.empty()) return true;
    // Each parent in turn, from the first that is not the root; those that exist already are
    // left as they are. The first that could not be made gives the reason when the folder is
    // not there in the end (a folder below it could only fail as "not found").
    std::optional<LastErrorKept> firstNotMade;
    for (std::size_t at = 1; at < whole.size(); ++at) {
        if (whole[at] != '/' && whole[at] != kPathSeparator) continue;
        if (whole[at - 1] == '/' || whole[at - 1] == kPathSeparator || whole[at - 1] == ':') {
            continue;
        }
        if (!makeLevel(whole.substr(0, at)) && !firstNotMade) firstNotMade.emplace();
    }
    if (!makeLevel(whole)) return false;  // with the first level's reason, if one failed before
    // Something stands there: opening it tells whether it is a folder.
    firstNotMade.reset();
    return Directory::open(path).isOpen();
}

}  // namespace platform
