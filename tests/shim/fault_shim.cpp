// A library for LD_PRELOAD that makes calls on one file fail the way a failing file system
// would. TARNWELL_FAULT_FILE names the file, TARNWELL_FAULT the fault:
//   close         its first close really closes it, then reports EIO;
//   append-close  the same, after another writer appended "other\n" to it;
//   append-write  before its first write, another writer appends "other\n" to it;
//   flock         every flock of it fails with ENOLCK, as on a file system without locks;
//   slow-create   an open that creates a file whose name ends in TARNWELL_FAULT_FILE returns
//                 100 ms late, so that others find the new file empty for that long.
// Without both variables every call goes through unchanged.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

const char *fault() {
    const char *name = std::getenv("TARNWELL_FAULT");
    return name != nullptr ? name : "";
}

// Whether `fd` is open on the file named by TARNWELL_FAULT_FILE.
bool is_target(int fd) {
    const char *path = std::getenv("TARNWELL_FAULT_FILE");
    struct stat target {};
    struct stat open_file {};
    return path != nullptr && ::stat(path, &target) == 0 && ::fstat(fd, &open_file) == 0
           && target.st_dev == open_file.st_dev && target.st_ino == open_file.st_ino;
}

// Appends "other\n" to the target through a descriptor of its own.
void append_other() {
    const int fd = ::open(std::getenv("TARNWELL_FAULT_FILE"), O_WRONLY | O_APPEND);
    if (fd >= 0) {
        (void)!::syscall(SYS_write, fd, "other\n", 6);
        ::syscall(SYS_close, fd);
    }
}

// Whether this is the first call of the fault `name` on the target `fd`.
bool first_fault(const char *name, int fd, bool &fired) {
    if (fired || std::strcmp(fault(), name) != 0 || !is_target(fd)) {
        return false;
    }
    fired = true;
    return true;
}

bool g_close_fired = false;
bool g_write_fired = false;

}  // namespace

extern "C" {

int close(int fd) {
    const bool append = first_fault("append-close", fd, g_close_fired);
    const bool fail = append || first_fault("close", fd, g_close_fired);
    if (append) {
        append_other();
    }
    const long result = ::syscall(SYS_close, fd);
    if (fail && result == 0) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(result);
}

ssize_t write(int fd, const void *buffer, size_t size) {
    if (first_fault("append-write", fd, g_write_fired)) {
        append_other();
    }
    return ::syscall(SYS_write, fd, buffer, size);
}

int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, int));
        va_end(arguments);
    }
    const char *suffix = std::getenv("TARNWELL_FAULT_FILE");
    const std::size_t length = std::strlen(path);
    const bool slow = (flags & O_CREAT) != 0 && std::strcmp(fault(), "slow-create") == 0
                      && suffix != nullptr && length >= std::strlen(suffix)
                      && std::strcmp(path + length - std::strlen(suffix), suffix) == 0
                      && ::access(path, F_OK) != 0;
    const long fd = ::syscall(SYS_openat, AT_FDCWD, path, flags, mode);
    if (slow && fd >= 0) {
        ::usleep(100'000);
    }
    return static_cast<int>(fd);
}

int flock(int fd, int operation) {
    if (std::strcmp(fault(), "flock") == 0 && is_target(fd)) {
        errno = ENOLCK;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_flock, fd, operation));
}

}  // extern "C"
