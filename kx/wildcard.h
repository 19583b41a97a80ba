// Shell-style wildcards for choosing outputs by name.
#pragma once

#include <string_view>

namespace kx {

// True when `text` matches `pattern` as a shell matches a file name: '*' any run of characters,
// '?' any one, "[abc]", "[a-z]" and "[!abc]" one of a set or not of it; any other character
// itself. Names are compared as the file system compares them (without regard to case on
// Windows).
bool wildcardMatch(std::string_view pattern, std::string_view text);

}  // namespace kx
