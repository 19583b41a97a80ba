// Reading the memory limit of a Linux control group from the text of its files. Kept apart from
// the reading of the files, so that any text can be tried.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The limit a control group file's text holds: cgroup v2's memory.max or cgroup v1's
// memory.limit_in_bytes, a count of bytes and a line end. UINT64_MAX for "max" (no limit) and for
// any text that is not such a count.
std::uint64_t cgroupLimitFromText(std::string_view text);

// The files that may limit this process's memory, below the folder the control groups are
// mounted at ("/sys/fs/cgroup"), from the text of /proc/self/cgroup: for the cgroup v2 line
// ("0::/user.slice/a.scope"), memory.max of its group and of every group above it; for a cgroup
// v1 line of the memory controller ("4:memory:/a" or "4:cpu,memory:/a"), memory.limit_in_bytes
// likewise, below "memory". A group whose path leaves its root ("..") gives none.
std::vector<std::string> cgroupLimitFiles(std::string_view procSelfCgroup);

}  // namespace platform
