// Paths and their text, and the checks made on them before a file is written or read.
#include "dzlib/paths.h"

#include <system_error>

namespace dz {

namespace fs = std::filesystem;

fs::path pathOfText(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string textOfPath(const fs::path& path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

std::string specialFileAt(const fs::path& path) {
    std::error_code error;
    const fs::file_type type = fs::symlink_status(path, error).type();
    if (error || type == fs::file_type::not_found || type == fs::file_type::regular ||
        type == fs::file_type::symlink) {
        return {};
    }
    return type == fs::file_type::directory ? "it is a folder" : "it is not a regular file";
}

bool sameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    if (fs::equivalent(a, b, error)) return true;
    const fs::path first = fs::weakly_canonical(a, error);
    if (error) return a == b;
    const fs::path second = fs::weakly_canonical(b, error);
    return error ? a == b : first == second;
}

bool staysInside(const fs::path& folder, const fs::path& path) {
    std::error_code error;
    const fs::path root = fs::weakly_canonical(folder, error);
    if (error) return false;
    const fs::path resolved = fs::weakly_canonical(path, error);
    if (error) return false;
    const std::string relative = textOfPath(resolved.lexically_relative(root));
    return !relative.empty() && relative != ".." && relative.rfind("../", 0) != 0;
}

}  // namespace dz
