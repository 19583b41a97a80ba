// The POSIX (Linux) side of the platform layer. It builds on any POSIX C library: what is
// glibc's or Linux's alone (sched_getaffinity, renameat2, madvise) is used where the headers
// declare it, with a POSIX way otherwise; scripts/check-portable.sh compiles it against musl
// with and without GNU extensions.
#include <fcntl.h>
#include <langinfo.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <vector>

#include "platform/file_views.h"
#include "platform/memory_limit.h"
#include "platform/platform.h"
#include "platform/profile.h"
#include "platform/temporaries.h"

namespace platform {
namespace {

#ifndef KESTRIX_WEB_FILES
// The largest step in which a file is written (File::writeAt).
constexpr std::size_t kWriteStep = 16 * 1024;
#endif

int fdOf(std::intptr_t handle) {
    return static_cast<int>(handle);
}

// Writes all bytes to `fd`, going on after interruptions; false when a write fails.
bool writeAll(int fd, const void* bytes, std::size_t length) {
    const char* at = static_cast<const char*>(bytes);
    while (length > 0) {
        // Linux moves at most about 2 GiB in one call; larger writes go in steps.
        std::size_t step = length < (1u << 30) ? length : (1u << 30);
        ssize_t put = ::write(fd, at, step);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        at += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

// Removes this run's temporary files, then ends the process by the signal that interrupted it,
// as its default action would have.
void onInterrupt(int signalNumber) {
    const int savedErrno = errno;
    removeAllTemporaries(
        [](std::intptr_t folder, const char* name) { ::unlinkat(fdOf(folder), name, 0); });
    errno = savedErrno;
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);  // delivered when this handler returns
}

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// errno values for the refusals made here (Refusal), far above any the system uses; a folder is
// the system's own EISDIR.
constexpr int kNotRegularFileError = 0x4B5801;
constexpr int kHeldError = 0x4B5802;
constexpr int kBeingReadError = 0x4B5803;

// Holds the interrupts back while a temporary file is made and registered, so that none can
// find it made but not yet registered.
class InterruptsHeld {
  public:
    InterruptsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int signalNumber : kInterrupts) sigaddset(&held, signalNumber);
        ::pthread_sigmask(SIG_BLOCK, &held, &before_);
    }
    ~InterruptsHeld() { ::pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

  private:
    sigset_t before_;
};

}  // namespace

const char kPathSeparator = '/';

// ---- Process -------------------------------------------------------------------------------

void prepareProcess() {
    // A reader that went away or a file size limit shows as a failed write, handled where it
    // happens, instead of killing the process with nothing cleaned up.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    handleBusErrorsInViews(onInterrupt);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : kInterrupts) sigaddset(&action.sa_mask, signalNumber);
    for (int signalNumber : kInterrupts) {
        // An interrupt the caller's shell told us to ignore stays ignored.
        struct sigaction current {};
        if (::sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            continue;
        }
        ::sigaction(signalNumber, &action, nullptr);
    }
}

ProcessArguments processArguments(int argc, char** argv) {
    return {nullptr, argc, argv};
}

bool programPath(char* buffer, std::size_t size) {
    if (size == 0) return false;
    ssize_t length = ::readlink("/proc/self/exe", buffer, size);
    if (length <= 0 || static_cast<std::size_t>(length) >= size) return false;
    buffer[length] = '\0';
    return true;
}

unsigned processorCount() {
#ifdef CPU_COUNT  // sched_getaffinity and its CPU_ macros come with _GNU_SOURCE
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
#endif
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

namespace {

// strerror_r comes in two forms: GNU's returns the text, which may or may not be in the buffer;
// POSIX's (other C libraries, or glibc without _GNU_SOURCE) returns 0 with the text in the
// buffer, or an error number. One of these takes what the C library's form returns.
[[maybe_unused]] std::string errorTextOf(const char* text, const char*, int) {
    return text;
}
[[maybe_unused]] std::string errorTextOf(int failed, const char* buffer, int error) {
    return failed == 0 ? std::string(buffer) : "error " + std::to_string(error);
}

}  // namespace

std::string lastErrorText() {
    const int error = errno;
    switch (error) {
        case EISDIR:
            return "it is a folder";
        case kNotRegularFileError:
            return "it is not a regular file";
        case kHeldError:
            return "another program holds it";
        case kBeingReadError:
            return "it is the file being read";
        default:
            break;
    }
    char buffer[256] = {};
    const std::string text = errorTextOf(::strerror_r(error, buffer, sizeof buffer), buffer, error);
    errno = error;
    return text;
}

ErrorKind lastErrorKind() {
    switch (errno) {
        case ENOENT:
        case ENOTDIR:
            return ErrorKind::notFound;
        case EACCES:
        case EPERM:
            return ErrorKind::denied;
        case EISDIR:
            return ErrorKind::folder;
        case kNotRegularFileError:
            return ErrorKind::notRegularFile;
        case kHeldError:
            return ErrorKind::held;
        default:
            return ErrorKind::other;
    }
}

void setLastError(Refusal refusal) {
    switch (refusal) {
        case Refusal::folder:
            errno = EISDIR;
            break;
        case Refusal::notRegularFile:
            errno = kNotRegularFileError;
            break;
        case Refusal::held:
            errno = kHeldError;
            break;
        case Refusal::beingRead:
            errno = kBeingReadError;
            break;
    }
}

LastErrorKept::LastErrorKept() : code_(static_cast<unsigned long>(errno)) {}

LastErrorKept::~LastErrorKept() {
    errno = static_cast<int>(code_);
}

// ---- Console -------------------------------------------------------------------------------

void consoleOpen() {}

void consoleWrite(const char* bytes, std::size_t length) {
    writeAll(STDOUT_FILENO, bytes, length);
}

namespace {

// True when `text` holds `part` (ASCII letters in either case): strcasestr, which is GNU's.
bool containsIgnoringCase(const char* text, const char* part) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (; *text != '\0'; ++text) {
        std::size_t i = 0;
        while (part[i] != '\0' && lower(text[i]) == lower(part[i])) ++i;
        if (part[i] == '\0') return true;
    }
    return false;
}

}  // namespace

bool consoleIsUtf8Terminal() {
    if (!::isatty(STDOUT_FILENO)) return false;
    // The character set of the locale the user's environment names. Put back the "C" locale
    // afterwards so that nothing else in the program depends on the environment.
    if (std::setlocale(LC_CTYPE, "") != nullptr) {
        const char* codeset = nl_langinfo(CODESET);
        bool utf8 = codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
        std::setlocale(LC_CTYPE, "C");
        return utf8;
    }
    // A locale that is named but not installed: go by its name, as the terminal does.
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        return containsIgnoringCase(value, "UTF-8") || containsIgnoringCase(value, "utf8");
    }
    return false;
}

bool standardOutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) != 0;
}

bool standardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) != 0;
}

bool standardOutputWrite(const void* bytes, std::size_t length) {
    return writeAll(STDOUT_FILENO, bytes, length);
}

bool standardErrorWrite(const void* bytes, std::size_t length) {
    return writeAll(STDERR_FILENO, bytes, length);
}

// ---- Settings ------------------------------------------------------------------------------

long long profileInteger(const char* path, const char* section, const char* key, int fallback) {
    // Only a regular file is a settings file. Opening without waiting keeps a FIFO with no
    // writer from holding the program up before it is looked at; a terminal does not become
    // the program's.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return fallback;
    long long value = fallback;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        static_cast<std::uint64_t>(info.st_size) < kProfileSizeLimit) {
        // The whole file, as the Windows profile call reads it; a settings file is a few lines.
        std::size_t size = static_cast<std::size_t>(info.st_size);
        Memory memory(size);
        char* text = reinterpret_cast<char*>(memory.bytes());
        if (text != nullptr) {
            std::size_t filled = 0;
            while (filled < size) {
                ssize_t got = ::read(fd, text + filled, size - filled);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) break;
                filled += static_cast<std::size_t>(got);
            }
            value = profileIntegerFromText(text, filled, section, key, fallback);
        }
    }
    ::close(fd);
    return value;
}

// ---- Files ---------------------------------------------------------------------------------

// In a page (KESTRIX_WEB_FILES), files are the host's and platform/web_files.cpp reads them.
#ifndef KESTRIX_WEB_FILES

bool File::close() {
    if (handle_ == kClosed) return true;
    int result = ::close(fdOf(handle_));
    handle_ = kClosed;
    return result == 0;
}

File File::openExclusiveRead(const char* path) {
    // Opening a FIFO for reading would wait for a writer: open without waiting, then refuse
    // anything that is not a regular file.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return File();
    File file(fd);
    struct stat info;
    if (::fstat(fd, &info) != 0) return File();
    if (!S_ISREG(info.st_mode)) {
        setLastError(S_ISDIR(info.st_mode) ? Refusal::folder : Refusal::notRegularFile);
        return File();
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return File();
    // A lock held by another run means no sharing.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) setLastError(Refusal::held);
        return File();
    }
    return file;
}

std::int64_t File::size() const {
    struct stat info;
    if (handle_ == kClosed || ::fstat(fdOf(handle_), &info) != 0) return -1;
    return info.st_size;
}

File::Stamp File::stamp() const {
    struct stat info;
    if (handle_ == kClosed || ::fstat(fdOf(handle_), &info) != 0) return {};
    constexpr std::int64_t kBillion = 1000000000;
    return {info.st_size, info.st_mtim.tv_sec * kBillion + info.st_mtim.tv_nsec,
            info.st_ctim.tv_sec * kBillion + info.st_ctim.tv_nsec};
}

std::size_t File::readAt(std::uint64_t position, void* buffer, std::size_t length) const {
    char* at = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        if (position + done > static_cast<std::uint64_t>(INT64_MAX)) break;
        std::size_t step = length - done < (1u << 30) ? length - done : (1u << 30);
        ssize_t got = ::pread(fdOf(handle_), at + done, step, static_cast<off_t>(position + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void File::reserve(std::uint64_t position, std::uint64_t length) {
#ifdef __linux__
    // Laying out the blocks in one step spares the file system that work on every write.
    if (length > 0 && position <= static_cast<std::uint64_t>(INT64_MAX) &&
        length <= static_cast<std::uint64_t>(INT64_MAX) - position) {
        ::fallocate(fdOf(handle_), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(position),
                    static_cast<off_t>(length));
    }
#else
    (void)position;
    (void)length;
#endif
}

bool File::writeAt(std::uint64_t position, const void* buffer, std::size_t length) {
    const char* at = static_cast<const char*>(buffer);
    while (length > 0) {
        if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
        // Files are written in steps of 16 KiB. The page cache takes memory for a write in
        // pieces as large as the write, up to 2 MiB, and on a virtual machine whose host takes
        // freed memory back, the large pieces are the ones it took: a fresh one costs several
        // times what small ones do. On the machine the benchmarks run on, an extraction of 1 GiB
        // took 0.75 s to 1.2 s of system time in steps of 16 KiB, 1 s to 3.5 s in steps of
        // 64 KiB or 4 KiB, and up to 3 s in one step.
        std::size_t step = length < kWriteStep ? length : kWriteStep;
        ssize_t put = ::pwrite(fdOf(handle_), at, step, static_cast<off_t>(position));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        at += put;
        position += static_cast<std::uint64_t>(put);
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

bool File::isSameFileAs(const Directory& folder, const char* name) const {
    struct stat open, named;
    if (handle_ == kClosed || ::fstat(fdOf(handle_), &open) != 0) return false;
    if (::fstatat(fdOf(folder.handle_), name, &named, AT_SYMLINK_NOFOLLOW) != 0) return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

#endif  // KESTRIX_WEB_FILES

// ---- Directories ---------------------------------------------------------------------------

Directory Directory::open(const char* path) {
    Directory folder;
    int fd = ::open(*path != '\0' ? path : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return folder;
    folder.handle_ = fd;
    folder.path_ = path;
    return folder;
}

void Directory::close() {
    if (handle_ == kClosed) return;
    ::close(fdOf(handle_));
    handle_ = kClosed;
}

File Directory::createTemporary(const char* stem, char* name) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    const std::size_t stemLength = std::strlen(stem);
    constexpr std::size_t kRandomLetters = 8;
    if (handle_ == kClosed || stemLength + kRandomLetters + 1 > kTemporaryNameSize) return File();
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned char random[kRandomLetters];
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            return File();
        }
        std::memcpy(name, stem, stemLength);
        for (std::size_t i = 0; i < kRandomLetters; ++i) {
            name[stemLength + i] = kLetters[random[i] % (sizeof kLetters - 1)];
        }
        name[stemLength + kRandomLetters] = '\0';

        InterruptsHeld held;
        int fd = ::openat(fdOf(handle_), name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          0644);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return File();
        if (!registerTemporary(handle_, name)) {
            ::close(fd);
            ::unlinkat(fdOf(handle_), name, 0);
            errno = EMFILE;
            return File();
        }
        return File(fd);
    }
    return File();
}

bool Directory::replace(const char* from, const char* to) {
    return ::renameat(fdOf(handle_), from, fdOf(handle_), to) == 0;
}

bool Directory::moveNew(const char* from, const char* to, bool& taken) {
    taken = false;
    const int fd = fdOf(handle_);
#ifdef RENAME_NOREPLACE  // glibc 2.28 and later, with _GNU_SOURCE
    if (::renameat2(fd, from, fd, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) {
        taken = errno == EEXIST;
        return false;
    }
#endif
    // A file system, a system or a C library that cannot rename so: a link is made at `to` only
    // where nothing stands, and the old name goes after.
    if (::linkat(fd, from, fd, to, 0) != 0) {
        taken = errno == EEXIST;
        return false;
    }
    ::unlinkat(fd, from, 0);
    return true;
}

bool Directory::remove(const char* name) {
    bool removed = ::unlinkat(fdOf(handle_), name, 0) == 0;
    forgetTemporary(handle_, name);
    return removed;
}

void Directory::keep(const char* name) {
    forgetTemporary(handle_, name);
}

bool Directory::holds(const char* name) const {
    struct stat info;
    return ::fstatat(fdOf(handle_), name, &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool Directory::holdsFolder(const char* name) const {
    struct stat info;
    return ::fstatat(fdOf(handle_), name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

bool createDirectory(const char* path) {
    return ::mkdir(path, 0755) == 0;
}

// ---- Names ---------------------------------------------------------------------------------

bool fileSystemHoldsName(std::string_view) {
    return true;
}

std::string fileNameKey(std::string_view name) {
    return std::string(name);
}

// ---- Memory --------------------------------------------------------------------------------

namespace {

// Anonymous memory of `size` bytes; `reserveOnly` asks the system not to set memory aside for
// it, so that a large room costs nothing until it is touched.
std::uint8_t* mapMemory(std::size_t size, bool reserveOnly) {
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (reserveOnly ? MAP_NORESERVE : 0);
    void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    // No MADV_HUGEPAGE: huge pages spare a fault every 4 KiB, but where the system hands memory
    // back to a virtual machine's host, a fresh huge page costs several times what its 4 KiB
    // pages do (0.9 s against 0.2 s for 400 MiB on the machine the benchmarks run on).
    return static_cast<std::uint8_t*>(memory);
}

}  // namespace

Memory::Memory(std::size_t size) {
    if (size == 0) return;
    bytes_ = mapMemory(size, /*reserveOnly=*/false);
    if (bytes_ != nullptr) size_ = committed_ = size;
}

Memory Memory::reserve(std::size_t limit, MemoryBound* bound) {
    Memory memory;
    if (limit == 0) return memory;
    memory.bytes_ = mapMemory(limit, /*reserveOnly=*/true);
    if (memory.bytes_ == nullptr) return memory;
    memory.size_ = limit;
    // The system takes pages as they are touched: without a bound to count them against, the
    // whole room is usable at once.
    memory.committed_ = bound != nullptr ? 0 : limit;
    memory.bound_ = bound;
    return memory;
}

bool Memory::commitPages(std::size_t, std::size_t) {
    return true;
}

void Memory::decommitPages(std::size_t from, std::size_t to) {
#ifdef MADV_DONTNEED  // Linux's and the BSDs' madvise: the pages go back, and read as zeros
    ::madvise(bytes_ + from, to - from, MADV_DONTNEED);
#else
    // POSIX has no call that gives pages back and zeroes them (posix_madvise only advises):
    // they stay, zeroed here.
    std::memset(bytes_ + from, 0, to - from);
#endif
}

void Memory::release() {
    if (bound_ != nullptr) bound_->give(committed_);
    if (bytes_ != nullptr) ::munmap(bytes_, size_);
    bytes_ = nullptr;
    size_ = committed_ = 0;
    bound_ = nullptr;
}

namespace {

// The start of a small file of the system's (such as one under /proc), or "" when it cannot be
// read.
std::string smallFileText(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return text;
    char buffer[4096];
    while (text.size() < 65536) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

}  // namespace

std::uint64_t memoryLimit() {
    std::uint64_t limit = UINT64_MAX;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) {
        limit = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
    }
    for (const std::string& file : cgroupLimitFiles(smallFileText("/proc/self/cgroup"))) {
        const std::string text = smallFileText("/sys/fs/cgroup" + file);
        if (!text.empty()) limit = std::min(limit, cgroupLimitFromText(text));
    }
    return limit;
}

// ---- Local time ----------------------------------------------------------------------------

bool fileTimeToLocal(std::uint64_t fileTime, CalendarTime& out) {
    // Windows file times count from 1601; Unix time from 1970, 11644473600 seconds later.
    constexpr std::int64_t kEpochGap = 11644473600LL;
    if (fileTime >= (1ULL << 63)) return false;
    std::int64_t utc = static_cast<std::int64_t>(fileTime / 10000000ULL) - kEpochGap;

    // The offset from UTC in force now, applied to every stored time alike: the difference
    // between now's local and UTC fields (tm_gmtoff, which holds it, is not POSIX's).
    ::tzset();
    std::time_t now = std::time(nullptr);
    struct tm local;
    struct tm universal;
    if (::localtime_r(&now, &local) == nullptr || ::gmtime_r(&now, &universal) == nullptr) {
        return false;
    }
    std::int64_t days = local.tm_yday - universal.tm_yday;
    if (local.tm_year != universal.tm_year) days = local.tm_year > universal.tm_year ? 1 : -1;
    const std::int64_t hours = days * 24 + local.tm_hour - universal.tm_hour;
    const std::int64_t minutes = hours * 60 + local.tm_min - universal.tm_min;
    const std::int64_t offset = minutes * 60 + local.tm_sec - universal.tm_sec;
    std::int64_t shifted = utc + offset;

    std::time_t asTime = static_cast<std::time_t>(shifted);
    struct tm fields;
    if (::gmtime_r(&asTime, &fields) == nullptr) return false;
    out.year = static_cast<unsigned>(fields.tm_year + 1900);
    out.month = static_cast<unsigned>(fields.tm_mon + 1);
    out.day = static_cast<unsigned>(fields.tm_mday);
    out.hour = static_cast<unsigned>(fields.tm_hour);
    out.minute = static_cast<unsigned>(fields.tm_min);
    out.second = static_cast<unsigned>(fields.tm_sec);
    return true;
}

}  // namespace platform
