// The thin layer over the operating system. app/ and container/ reach the system only through
// these calls; platform/posix.cpp and platform/windows.cpp implement them, and CMake builds one.
// Every path is a zero-terminated text in the system's narrow character set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// The path separator placed between the output directory and a sub-file name.
extern const char kPathSeparator;

// ---- Console -------------------------------------------------------------------------------

// Obtains the standard output handle; called once, before anything is written.
void consoleOpen();

// Writes the bytes as they stand, adding nothing; a failed write is lost silently.
void consoleWrite(const char* bytes, std::size_t length);

// True when standard output is a terminal that shows UTF-8, where the byte 0xFE of the
// status prefix would not show as the small square a Windows console shows.
bool consoleIsUtf8Terminal();

// ---- Process -------------------------------------------------------------------------------

// The process's arguments as the system hands them over. On Windows there is one writable copy
// of the whole command line in `text` (to be split by the program); elsewhere `text` is null
// and the tokens are argv[0] to argv[argc - 1].
struct ProcessArguments {
    char* text;
    int argc;
    char** argv;
};
ProcessArguments processArguments(int argc, char** argv);

// The running program's full path into `buffer`. Returns false when it cannot be found or does
// not fit `size` bytes with its terminating zero.
bool programPath(char* buffer, std::size_t size);

// ---- Settings ------------------------------------------------------------------------------

// The integer value of `key` in `[section]` of an initialisation file, found the way the
// Windows profile call finds it and read by profileNumber (platform/profile.h), the same on
// every system: `fallback` when the file, section or key is missing, the file is not a
// regular file (it is not waited for) or is 4 GiB or larger, or the value is empty.
long long profileInteger(const char* path, const char* section, const char* key, int fallback);

// ---- Files ---------------------------------------------------------------------------------

// An open file; closed when it goes out of scope. Positions are 64-bit everywhere.
class File {
  public:
    File() = default;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    bool isOpen() const;
    std::intptr_t handle() const { return handle_; }
    // Closes now; returns false when the system reports that the close failed (data not stored).
    bool close();

    // Opens an existing regular file for reading, with no sharing: a second opener is refused.
    static File openExclusiveRead(const char* path);
    // Creates the file for writing, replacing any file of that name. Neither this nor
    // openAppend follows a symbolic link in the last part of the path.
    static File create(const char* path);
    // Opens the file for writing at its end, creating it when it is missing; `created` tells
    // which happened.
    static File openAppend(const char* path, bool& created);

    // The file's length in bytes, or -1 when it cannot be had.
    std::int64_t size() const;
    // Moves to `position` bytes from the start; false on failure.
    bool seek(std::uint64_t position);
    // Reads up to `length` bytes; returns the count read, short at the end of the file or on error.
    std::size_t read(void* buffer, std::size_t length);
    // Tells the system that `length` bytes are about to be written at the current position, so
    // that it can lay them out at once; the file's length does not change. Only a hint: where
    // the system cannot take it, nothing happens.
    void reserve(std::uint64_t length);
    // Writes all `length` bytes; false on a short or failed write.
    bool write(const void* buffer, std::size_t length);
    // Cuts the file back to `length` bytes.
    bool truncate(std::uint64_t length);

  private:
    explicit File(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_ = -1;
};

// True when `path` names the very file that `file` has open (so that writing there would
// destroy what is being read).
bool isSameFile(const File& file, const char* path);

// Removes a file; false when it could not be removed.
bool removeFile(const char* path);

// True when the two paths name the same file as the file system compares names
// (exactly on POSIX, without regard to ASCII case on Windows).
bool samePath(const char* a, const char* b);

// ---- Directories ---------------------------------------------------------------------------

// Creates one directory level; its parent must exist. Returns false when it could not be made
// (also when it already exists).
bool createDirectory(const char* path);

// ---- Memory --------------------------------------------------------------------------------

// Fresh zeroed memory straight from the system, read-write, or null; only touched pages cost.
void* freshMemory(std::size_t size);
void releaseMemory(void* memory, std::size_t size);

// ---- Local time ----------------------------------------------------------------------------

struct CalendarTime {
    unsigned year, month, day, hour, minute, second;
};

// Converts a Windows file time (100-nanosecond intervals since 1601-01-01 UTC) to local
// calendar fields, applying the offset from UTC in force now. False when it cannot be converted.
bool fileTimeToLocal(std::uint64_t fileTime, CalendarTime& out);

}  // namespace platform
