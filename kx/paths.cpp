// Checking paths before kx writes or reads them.
#include "kx/paths.h"

#include <system_error>

#include "kx/text.h"

namespace kx {

namespace fs = std::filesystem;

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

}  // namespace kx
