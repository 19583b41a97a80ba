// The POSIX (Linux) side of the platform layer.
#include <fcntl.h>
#include <langinfo.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "platform/platform.h"
#include "platform/profile.h"

namespace platform {

const char kPathSeparator = '/';

void consoleOpen() {}

void consoleWrite(const char* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t written = ::write(STDOUT_FILENO, bytes, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
}

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
        return strcasestr(value, "UTF-8") != nullptr || strcasestr(value, "utf8") != nullptr;
    }
    return false;
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
        char* text = static_cast<char*>(freshMemory(size));
        if (text != nullptr) {
            std::size_t filled = 0;
            while (filled < size) {
                ssize_t got = ::read(fd, text + filled, size - filled);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) break;
                filled += static_cast<std::size_t>(got);
            }
            value = profileIntegerFromText(text, filled, section, key, fallback);
            releaseMemory(text, size);
        }
    }
    ::close(fd);
    return value;
}

// ---- Files ---------------------------------------------------------------------------------

File::File(File&& other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

File::~File() {
    close();
}

bool File::isOpen() const {
    return handle_ >= 0;
}

bool File::close() {
    if (handle_ < 0) return true;
    int result = ::close(static_cast<int>(handle_));
    handle_ = -1;
    return result == 0;
}

File File::openExclusiveRead(const char* path) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return File();
    File file(fd);
    struct stat info;
    // A directory is not a container; a lock held by another run means no sharing.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return File();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return File();
    return file;
}

File File::create(const char* path) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    return fd < 0 ? File() : File(fd);
}

File File::openAppend(const char* path, bool& created) {
    created = false;
    int fd = ::open(path, O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        created = fd >= 0;
    }
    if (fd < 0) return File();
    File file(fd);
    if (::lseek(fd, 0, SEEK_END) < 0) return File();
    return file;
}

std::int64_t File::size() const {
    struct stat info;
    if (handle_ < 0 || ::fstat(static_cast<int>(handle_), &info) != 0) return -1;
    return info.st_size;
}

bool File::seek(std::uint64_t position) {
    if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return ::lseek(static_cast<int>(handle_), static_cast<off_t>(position), SEEK_SET) >= 0;
}

std::size_t File::read(void* buffer, std::size_t length) {
    char* at = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        // Linux moves at most about 2 GiB in one call; larger reads go in steps.
        std::size_t step = length - done < (1u << 30) ? length - done : (1u << 30);
        ssize_t got = ::read(static_cast<int>(handle_), at + done, step);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void File::reserve(std::uint64_t length) {
#ifdef __linux__
    // Laying out the blocks in one step spares the file system that work on every write.
    off_t at = ::lseek(static_cast<int>(handle_), 0, SEEK_CUR);
    if (at >= 0 && length > 0 && length <= static_cast<std::uint64_t>(INT64_MAX - at)) {
        ::fallocate(static_cast<int>(handle_), FALLOC_FL_KEEP_SIZE, at, static_cast<off_t>(length));
    }
#else
    (void)length;
#endif
}

bool File::write(const void* buffer, std::size_t length) {
    const char* at = static_cast<const char*>(buffer);
    while (length > 0) {
        std::size_t step = length < (1u << 30) ? length : (1u << 30);
        ssize_t put = ::write(static_cast<int>(handle_), at, step);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        at += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

bool File::truncate(std::uint64_t length) {
    return ::ftruncate(static_cast<int>(handle_), static_cast<off_t>(length)) == 0;
}

bool isSameFile(const File& file, const char* path) {
    struct stat open, named;
    if (!file.isOpen() || ::fstat(static_cast<int>(file.handle()), &open) != 0) return false;
    if (::stat(path, &named) != 0) return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

bool removeFile(const char* path) {
    return ::unlink(path) == 0;
}

bool samePath(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

bool createDirectory(const char* path) {
    return ::mkdir(path, 0755) == 0;
}

// ---- Memory --------------------------------------------------------------------------------

void* freshMemory(std::size_t size) {
    if (size == 0) return nullptr;
    void* memory =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    // Large buffers are filled from start to end once: huge pages spare a fault every 4 KiB,
    // and memory is still taken only as the data fills it.
    if (size >= (2u << 20)) ::madvise(memory, size, MADV_HUGEPAGE);
    return memory;
}

void releaseMemory(void* memory, std::size_t size) {
    if (memory != nullptr) ::munmap(memory, size);
}

// ---- Local time ----------------------------------------------------------------------------

bool fileTimeToLocal(std::uint64_t fileTime, CalendarTime& out) {
    // Windows file times count from 1601; Unix time from 1970, 11644473600 seconds later.
    constexpr std::int64_t kEpochGap = 11644473600LL;
    if (fileTime >= (1ULL << 63)) return false;
    std::int64_t utc = static_cast<std::int64_t>(fileTime / 10000000ULL) - kEpochGap;

    // The offset from UTC in force now, applied to every stored time alike.
    ::tzset();
    std::time_t now = std::time(nullptr);
    struct tm local;
    if (::localtime_r(&now, &local) == nullptr) return false;
    std::int64_t shifted = utc + local.tm_gmtoff;

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
