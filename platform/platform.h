// The thin layer over the operating system. Everything above it reaches the system only through
// these calls; platform/posix.cpp and platform/windows.cpp implement them, and CMake builds one.
// Every path and name is a zero-terminated text in the system's narrow character set.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// Defined where the target has no threads: WebAssembly built without them (emscripten without
// -pthread), or a C++ library made without them. The library then starts none, and does all its
// work on the calling thread.
#if (defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)) || \
    defined(_LIBCPP_HAS_NO_THREADS)
#define KESTRIX_NO_THREADS 1
#endif

namespace platform {

// The path separator placed between a folder and a name inside it.
extern const char kPathSeparator;

// ---- Process -------------------------------------------------------------------------------

// Sets the process up for a run that writes files: a closed pipe on standard output or a file
// size limit becomes an ordinary write error instead of ending the process, and an interrupt
// (SIGINT, SIGTERM, SIGHUP; Ctrl-C, Ctrl-Break or closing the console on Windows) removes the
// temporary files registered below before the process ends as the interrupt wants. Files are
// read in place (File::view) only after this call, which lets a shortened file read as zeros.
void prepareProcess();

// Lets files be read in place in a process that prepareProcess did not set up (a program that
// uses the library): a shortened file reads as zeros in a view, and every other bus error goes
// to whatever handled them before. Once per process; nothing after prepareProcess, nor where
// reading in place would not pay.
void prepareViews();

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

// The number of processors this process may run on (at least 1).
unsigned processorCount();

// The system's text for the last failed call of this thread, such as "No such file or
// directory"; for a refusal made here (Refusal), its own text.
std::string lastErrorText();

// Calls that refuse what the system would take set the last failure to one of these, so that
// lastErrorText() tells the real reason: "it is a folder", "it is not a regular file" (a FIFO,
// a device), "another program holds it", "it is the file being read".
enum class Refusal { folder, notRegularFile, held, beingRead };
void setLastError(Refusal refusal);

// What kind of failure the last one was, for scripts that act on it.
enum class ErrorKind { notFound, denied, folder, notRegularFile, held, other };
ErrorKind lastErrorKind();

// Keeps the last failure of this thread across the calls made in cleaning up after it, so that
// lastErrorText() still tells why the first call failed.
class LastErrorKept {
  public:
    LastErrorKept();
    ~LastErrorKept();
    LastErrorKept(const LastErrorKept&) = delete;
    LastErrorKept& operator=(const LastErrorKept&) = delete;

  private:
    unsigned long code_;
};

// ---- Console -------------------------------------------------------------------------------

// Obtains the standard output handle; called once, before anything is written.
void consoleOpen();

// Writes the bytes as they stand to standard output, adding nothing; a failed write is lost.
void consoleWrite(const char* bytes, std::size_t length);

// True when standard output is a terminal that shows UTF-8 (on Windows, a console whose output
// code page is UTF-8), where the byte 0xFE of the status prefix would not show as the small
// square a Windows console shows in its own code page. Called after consoleOpen().
bool consoleIsUtf8Terminal();

// Whether standard output or standard error is a terminal (a console on Windows).
bool standardOutputIsTerminal();
bool standardErrorIsTerminal();

// Writes all bytes to standard output or standard error; false when a write failed (the reader
// went away, the disk is full).
bool standardOutputWrite(const void* bytes, std::size_t length);
bool standardErrorWrite(const void* bytes, std::size_t length);

// ---- Settings ------------------------------------------------------------------------------

// The integer value of `key` in `[section]` of an initialisation file, found the way the
// Windows profile call finds it and read by profileNumber (platform/profile.h), the same on
// every system: `fallback` when the file, section or key is missing, the file is not a
// regular file (it is not waited for) or is 4 GiB or larger, or the value is empty.
long long profileInteger(const char* path, const char* section, const char* key, int fallback);

// ---- Files ---------------------------------------------------------------------------------

class Directory;
class FileView;

// An open file; closed when it goes out of scope. Positions are 64-bit everywhere.
class File {
  public:
    File() = default;
    File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = kClosed; }
    File& operator=(File&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.handle_;
            other.handle_ = kClosed;
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { close(); }

    bool isOpen() const { return handle_ != kClosed; }
    // Closes now; returns false when the system reports that the close failed (data not stored).
    bool close();

    // Opens an existing regular file for reading, with no sharing: a second opener is refused.
    // Anything else (a folder, a FIFO, a device) is refused without waiting for it, and so is a
    // file another program holds; lastErrorText() then says which (Refusal).
    static File openExclusiveRead(const char* path);

    // The file's length in bytes, or -1 when it cannot be had.
    std::int64_t size() const;
    // What tells whether the file was written to: its length and the times of its last change,
    // in the system's own units. Two stamps differ when it was written between them; all -1
    // when they cannot be had.
    struct Stamp {
        std::int64_t size = -1;
        std::int64_t modified = -1;
        std::int64_t changed = -1;
        bool operator==(const Stamp&) const = default;
    };
    Stamp stamp() const;
    // Reads up to `length` bytes at `position` without moving any shared position, so several
    // threads may read one file. Returns the count read, short at the end of the file or on error.
    std::size_t readAt(std::uint64_t position, void* buffer, std::size_t length) const;
    // Tells the system that `length` bytes are about to be written at `position`, so that it can
    // lay them out at once; the file's length does not change. Only a hint.
    void reserve(std::uint64_t position, std::uint64_t length);
    // Writes all `length` bytes at `position`, without moving any shared position, so several
    // threads may write one file at different places; false on a short or failed write.
    bool writeAt(std::uint64_t position, const void* buffer, std::size_t length);

    // True when this file and the entry `name` of `folder` are one file (so that writing there
    // would destroy what is being read). A link at `name` counts as the file it leads to.
    bool isSameFileAs(const Directory& folder, const char* name) const;

    // The `length` bytes at `position`, read in place (see FileView); an empty view where they
    // cannot be, and always on Windows.
    FileView view(std::uint64_t position, std::size_t length) const;

  private:
    friend class Directory;
    static constexpr std::intptr_t kClosed = -1;
    explicit File(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_ = kClosed;
};

// Bytes of a file read in place: the system maps them into memory, so they are neither copied
// nor held twice, and the memory they take is the system's cache of the file. Bytes the file
// loses while they are viewed (another program shortens it) read as zeros, as bytes past the
// end of a file do for a reader of a container. Unmapped when it goes out of scope.
class FileView {
  public:
    FileView() = default;
    FileView(FileView&& other) noexcept { *this = std::move(other); }
    FileView& operator=(FileView&& other) noexcept {
        if (this != &other) {
            release();
            mapping_ = std::exchange(other.mapping_, nullptr);
            mappedLength_ = std::exchange(other.mappedLength_, 0);
            letGo_ = std::exchange(other.letGo_, 0);
            bytes_ = std::exchange(other.bytes_, nullptr);
            slot_ = std::exchange(other.slot_, -1);
        }
        return *this;
    }
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;
    ~FileView() { release(); }

    bool empty() const { return bytes_ == nullptr; }
    const std::uint8_t* bytes() const { return bytes_; }
    // The bytes before `upTo` are read and not needed again soon: their pages leave the
    // process's memory, staying in the system's cache of the file (read again, they come back).
    void letGoBefore(std::size_t upTo);

  private:
    friend class File;
    void release();
    void* mapping_ = nullptr;
    std::size_t mappedLength_ = 0;
    std::size_t letGo_ = 0;  // the mapping's bytes already let go, from its start
    const std::uint8_t* bytes_ = nullptr;
    int slot_ = -1;  // where the view is registered for the bus-error handler
};

// An open folder, held for as long as the object lives. Files are made, renamed and removed
// relative to it, so that what stands at the folder's path later does not matter: on POSIX the
// calls work from the open handle; on Windows the folder cannot be renamed or removed while it is
// held.
class Directory {
  public:
    Directory() = default;
    Directory(Directory&& other) noexcept { *this = static_cast<Directory&&>(other); }
    Directory& operator=(Directory&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.handle_;
            path_ = static_cast<std::string&&>(other.path_);
            other.handle_ = kClosed;
        }
        return *this;
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    ~Directory() { close(); }

    // Opens the existing folder at `path` ("" is the current folder).
    static Directory open(const char* path);
    bool isOpen() const { return handle_ != kClosed; }
    void close();

    // Creates a new hidden file with a name that starts with `stem` (such as ".kestrix-") and
    // stands in no other file's way, open for writing, and registers it to be removed if the
    // process is interrupted. Its name goes to `name` (at least kTemporaryNameSize bytes).
    static constexpr std::size_t kTemporaryNameSize = 32;
    File createTemporary(const char* stem, char* name);
    // Moves the entry `from` to `to` within the folder, replacing whatever stands at `to` (a file,
    // a link or a special file, never what a link leads to); a folder at `to` is not replaced.
    bool replace(const char* from, const char* to);
    // Moves the entry `from` to `to` within the folder only when nothing stands at `to`, in one
    // step that no other program can come between. False when it is not moved; `taken` then
    // says whether that is because something stands at `to` (lastErrorText() says "File
    // exists" or the system's words for it).
    bool moveNew(const char* from, const char* to, bool& taken);
    // Removes the entry `name`, and forgets it as a temporary file.
    bool remove(const char* name);
    // Forgets `name` as a temporary file: it has been moved to its final name.
    void keep(const char* name);
    // True when the entry `name` exists, whatever it is (a link is not followed).
    bool holds(const char* name) const;
    // True when the entry `name` exists and is a folder (a link to one is not followed).
    bool holdsFolder(const char* name) const;

  private:
    friend class File;
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed;
    std::string path_;  // with its closing separator; used where the system needs whole paths
};

// Creates one folder level; its parent must exist. False when it could not be made (also when
// it already exists).
bool createDirectory(const char* path);

// Creates a folder and any missing parents; true when it exists afterwards.
bool createDirectories(const char* path);

// ---- Names ---------------------------------------------------------------------------------

// True when this system's file systems can hold `name` as a file name in a folder; false for
// names the system would take for something else or refuse (on Windows: "a?b", "CONIN$", "COM¹").
// The caller has already refused names that are empty, hold a separator, or are "." or "..".
bool fileSystemHoldsName(std::string_view name);

// The form of `name` under which the file system finds it: two names with one key are one file.
// On POSIX the name itself; on Windows without trailing dots and spaces and with case folded.
std::string fileNameKey(std::string_view name);

// ---- Memory --------------------------------------------------------------------------------

// The most bytes that several rooms (Memory::reserve) may have committed together, shared by
// threads: a commit takes its bytes from it before they are touched, and gives them back when
// it is trimmed or released.
class MemoryBound {
  public:
    explicit MemoryBound(std::uint64_t limit) : limit_(limit) {}
    MemoryBound(const MemoryBound&) = delete;
    MemoryBound& operator=(const MemoryBound&) = delete;

    std::uint64_t limit() const { return limit_; }
    std::uint64_t taken() const { return taken_.load(std::memory_order_relaxed); }
    // Takes `bytes` when the total stays within the limit; false, taking nothing, otherwise.
    bool take(std::uint64_t bytes) {
        std::uint64_t now = taken_.load(std::memory_order_relaxed);
        do {
            if (bytes > limit_ - now) return false;
        } while (!taken_.compare_exchange_weak(now, now + bytes, std::memory_order_relaxed));
        return true;
    }
    void give(std::uint64_t bytes) { taken_.fetch_sub(bytes, std::memory_order_relaxed); }

  private:
    const std::uint64_t limit_;
    std::atomic<std::uint64_t> taken_{0};
};

// Commits are counted in pages of this size.
constexpr std::size_t kMemoryPage = 4096;

// True where the address space has room to reserve 4 GiB and more at once (a 64-bit system), so
// that one room of all a sub-file can take may be reserved ahead and cost only what is touched.
// On a 32-bit system (WebAssembly among them) no such room can be had: rooms are reserved for
// what they are to hold.
constexpr bool kLargeAddressSpace = sizeof(void*) >= 8;

// Fresh zeroed memory straight from the system, read-write; released when the object goes.
// Only the pages that are touched cost.
class Memory {
  public:
    Memory() = default;
    // `size` bytes, all usable at once.
    explicit Memory(std::size_t size);
    // Room for up to `limit` bytes of which only the first committed() are usable until more
    // is committed: without a bound, on POSIX all of it (the system takes pages as they are
    // touched), on Windows none until commit() is called. With a bound, none on every system,
    // and each commit counts against the bound (which must outlive the room). Null bytes() when
    // the room cannot be had.
    static Memory reserve(std::size_t limit, MemoryBound* bound = nullptr);
    // The same with the largest room of at most `limit` bytes that the address space gives:
    // all of it on a 64-bit system, halves of it where the address space is smaller (a 32-bit
    // system, or a limit set on the process), down to `least`. Null bytes() when not even
    // `least` bytes can be had.
    static Memory reserveUpTo(std::size_t limit, std::size_t least, MemoryBound* bound = nullptr);
    Memory(Memory&& other) noexcept { *this = static_cast<Memory&&>(other); }
    Memory& operator=(Memory&& other) noexcept {
        if (this != &other) {
            release();
            bytes_ = other.bytes_;
            size_ = other.size_;
            committed_ = other.committed_;
            bound_ = other.bound_;
            other.bytes_ = nullptr;
            other.size_ = other.committed_ = 0;
            other.bound_ = nullptr;
        }
        return *this;
    }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    ~Memory() { release(); }

    // Null when the memory could not be had.
    std::uint8_t* bytes() const { return bytes_; }
    std::size_t size() const { return size_; }
    // The bytes usable now, from the start.
    std::size_t committed() const { return committed_; }
    // Makes the first `size` bytes usable (no more than size()), whole pages at a time; false,
    // with nothing more committed, when the system or the bound has no memory for them.
    bool commit(std::size_t size);
    // Commits as much of the first `size` bytes as the system and the bound give, whole pages
    // at a time; returns committed().
    std::size_t commitWhatFits(std::size_t size);
    // Gives the pages past the first `keep` bytes back to the system (their bytes read as zeros
    // when they are committed again), and their count back to the bound.
    void trim(std::size_t keep);

  private:
    void release();                                      // gives the memory back to the system
    bool commitPages(std::size_t from, std::size_t to);  // the system's part of a commit
    void decommitPages(std::size_t from, std::size_t to);
    std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
    std::size_t committed_ = 0;
    MemoryBound* bound_ = nullptr;
};

// The memory this process may take: the lower of the machine's physical memory and the limit
// of its control group (on Linux, cgroup v2's memory.max of its own group and those above it,
// or cgroup v1's memory.limit_in_bytes). UINT64_MAX when none is known.
std::uint64_t memoryLimit();

// The most the rooms of a run may commit in all, by default, in a process that may take `limit`
// bytes (UINT64_MAX: unknown, and no bound): the program itself, the system's cache of the
// container's and outputs' pages and the rest keep an eighth of the limit, and at least 64 MiB;
// half of it when that would leave less.
std::uint64_t defaultMemoryBound(std::uint64_t limit);

// The memory the sub-files of a run may take together by default, so that many wait for their
// digests at once, in a process that may take `limit` bytes (UINT64_MAX: unknown): a quarter of
// the limit, and at most 2 GiB.
std::uint64_t defaultMemoryBudget(std::uint64_t limit);

// ---- Local time ----------------------------------------------------------------------------

struct CalendarTime {
    unsigned year, month, day, hour, minute, second;
};

// Converts a Windows file time (100-nanosecond intervals since 1601-01-01 UTC) to local
// calendar fields, applying the offset from UTC in force now. False when it cannot be converted.
bool fileTimeToLocal(std::uint64_t fileTime, CalendarTime& out);

}  // namespace platform
