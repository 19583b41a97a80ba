// Control group limits from the text of their files.
#include "platform/memory_limit.h"

namespace platform {
namespace {

// The files `name` in the group at `path` and in every group above it, up to the root.
void addUpwards(std::vector<std::string>& files, const std::string& below, std::string_view path,
                const char* name) {
    if (path.empty() || path.front() != '/') return;
    std::string group(path);
    while (group.size() > 1 && group.back() == '/') group.pop_back();
    if (group.find("/..") != std::string::npos) return;
    for (;;) {
        files.push_back(below + (group == "/" ? "" : group) + "/" + name);
        if (group == "/") break;
        const std::size_t slash = group.rfind('/');
        group = slash == 0 ? "/" : group.substr(0, slash);
    }
}

bool namesMemory(std::string_view controllers) {
    while (!controllers.empty()) {
        const std::size_t comma = controllers.find(',');
        if (controllers.substr(0, comma) == "memory") return true;
        if (comma == std::string_view::npos) break;
        controllers.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

std::uint64_t cgroupLimitFromText(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    if (text.empty()) return UINT64_MAX;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return UINT64_MAX;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

std::vector<std::string> cgroupLimitFiles(std::string_view procSelfCgroup) {
    std::vector<std::string> files;
    while (!procSelfCgroup.empty()) {
        const std::size_t end = procSelfCgroup.find('\n');
        const std::string_view line = procSelfCgroup.substr(0, end);
        procSelfCgroup.remove_prefix(end == std::string_view::npos ? procSelfCgroup.size()
                                                                   : end + 1);
        // hierarchy-ID:controllers:path
        const std::size_t first = line.find(':');
        const std::size_t second =
            first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (id == "0" && controllers.empty()) {
            addUpwards(files, "", path, "memory.max");
        } else if (namesMemory(controllers)) {
            addUpwards(files, "/memory", path, "memory.limit_in_bytes");
        }
    }
    return files;
}

}  // namespace platform
