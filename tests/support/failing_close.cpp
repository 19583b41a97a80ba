// A stand-in for the system's close, loaded ahead of it (LD_PRELOAD) into a program under test:
// closing a file whose name begins with KESTRIX_TEST_FAILING_CLOSE closes it but reports EIO,
// as a file system does when it could not store data written earlier.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int close(int fd) {
    using Close = int (*)(int);
    static const Close realClose = reinterpret_cast<Close>(::dlsym(RTLD_NEXT, "close"));
    const char* stem = std::getenv("KESTRIX_TEST_FAILING_CLOSE");
    char link[64];
    char path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = stem == nullptr ? -1 : ::readlink(link, path, sizeof path - 1);
    if (length <= 0) return realClose(fd);
    path[length] = '\0';
    const char* slash = std::strrchr(path, '/');
    const char* name = slash == nullptr ? path : slash + 1;
    if (std::strncmp(name, stem, std::strlen(stem)) != 0) return realClose(fd);
    realClose(fd);
    errno = EIO;
    return -1;
}
