#include "sqlstore_module/file_turn.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "duckdb.hpp"
#include "duckdb/common/local_file_system.hpp"
#include "duckdb/main/database_path_and_type.hpp"

#include "sqlstore_module/lock_wait.hpp"

namespace fs = std::filesystem;

namespace tarnwell::sqlstore_module {
namespace {

[[noreturn]] void throw_lock_error(const fs::path &file, const std::string &holder) {
    throw duckdb::IOException("Could not set lock on file \"" + file.string()
                              + "\": Conflicting lock is held by " + holder);
}

// The file that `path` names in the end: made absolute, symbolic links followed, also when
// they dangle.
fs::path final_target(const std::string &path) {
    std::error_code error;
    fs::path target = fs::absolute(path, error);
    for (int hops = 0; hops < 40 && fs::is_symlink(target, error); ++hops) {
        target = target.parent_path() / fs::read_symlink(target, error);  // absolute: replaces
    }
    const fs::path resolved = fs::weakly_canonical(target, error);
    return error ? target : resolved;
}

// The turns held in this process: by the names under which their threads hold them (see
// turn_keys), and the descriptors of the files whose flock they hold or wait for. A child
// forked while a turn is held starts afresh: the thread that held it does not exist in it,
// and the child's copies of the descriptors, which would keep the flocks alive for as long as
// the child lives, are closed.
struct Registry {
    std::mutex mutex;
    std::condition_variable released;
    std::map<std::string, std::thread::id> held;
    std::set<int> descriptors;
};
Registry *g_registry = new Registry;  // never destroyed: threads may be inside it at exit

const int g_fork_handlers
    = pthread_atfork([] { g_registry->mutex.lock(); },
                     [] { g_registry->mutex.unlock(); },
                     [] {
                         if (g_registry->held.empty() && g_registry->descriptors.empty()) {
                             g_registry->mutex.unlock();
                             return;
                         }
                         for (const int fd : g_registry->descriptors) {
                             ::close(fd);
                         }
                         g_registry = new Registry;
                     });

// The names that every name of `file` agrees on: the path of its final target and, when the
// file exists, its device and inode, which hard links share.
std::vector<std::string> turn_keys(const DatabaseFile &file) {
    std::vector<std::string> keys{"path " + file.target.string()};
    struct stat status {};
    if (file.local && ::stat(file.target.c_str(), &status) == 0) {
        keys.push_back("file " + std::to_string(status.st_dev) + ":"
                       + std::to_string(status.st_ino));
    }
    return keys;
}

// Whether `fd` is on a file system whose flock DuckDB's fcntl lock would meet: NFS emulates
// flock with a lock of the whole file, which the process's own DuckDB could then not take.
bool flock_is_emulated(int fd) {
    constexpr long kNfsMagic = 0x6969;
    struct statfs where {};
    return ::fstatfs(fd, &where) == 0 && where.f_type == kNfsMagic;
}

// Waits until no process holds the fcntl lock by which DuckDB keeps an open file to itself,
// by taking a read lock of the whole open file `fd`, which that lock keeps out, and letting go
// of it again at once. Gives up at `deadline`.
void wait_for_file(int fd, Clock::time_point deadline, host::ReleasedGil &gil) {
    struct flock whole {};
    whole.l_type = F_RDLCK;
    whole.l_whence = SEEK_SET;
    const bool taken = wait_for_lock(deadline, gil, [&](bool block) {
        return ::fcntl(fd, block ? F_OFD_SETLKW : F_OFD_SETLK, &whole);
    });
    if (taken) {
        whole.l_type = F_UNLCK;
        (void)::fcntl(fd, F_OFD_SETLK, &whole);
    }
}

// Whether the open file `fd` is still the file that `path` names.
bool still_named(int fd, const fs::path &path) {
    struct stat open_file {};
    struct stat named {};
    return ::fstat(fd, &open_file) == 0 && ::stat(path.c_str(), &named) == 0
           && open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

}  // namespace

Clock::time_point deadline_after(double timeout_seconds) {
    constexpr double kForever = 1e9;  // about 30 years, far from the clock's end
    if (!(timeout_seconds < kForever)) {
        return Clock::time_point::max();
    }
    return Clock::now()
           + std::chrono::duration_cast<Clock::duration>(
               std::chrono::duration<double>(timeout_seconds));
}

DatabaseFile locate_database(const std::string &path) {
    DatabaseFile file;
    std::string rest = path;
    std::string type;
    std::string remote;
    duckdb::DBPathAndType::ExtractExtensionPrefix(rest, type);
    if ((!type.empty() && type != "duckdb") || duckdb::FileSystem::IsRemoteFile(rest, remote)) {
        file.target = path;
        return file;
    }
    file.local = true;
    const std::string expanded = duckdb::FileSystem::ExpandPath(rest, nullptr);
    file.target = final_target(duckdb::LocalFileSystem::NormalizeLocalPath(expanded));
    return file;
}

FileTurn::FileTurn(const DatabaseFile &file, Clock::time_point deadline, host::ReleasedGil &gil)
    : file_(file) {
    const auto me = std::this_thread::get_id();
    while (true) {
        // Named anew on every try, without the registry's lock: the file may have been
        // created meanwhile.
        std::vector<std::string> keys = turn_keys(file_);
        std::unique_lock<std::mutex> lock(g_registry->mutex);
        bool taken = false;
        for (const std::string &key : keys) {
            const auto holder = g_registry->held.find(key);
            if (holder == g_registry->held.end()) {
                continue;
            }
            if (holder->second == me) {
                throw_lock_error(file_.target,
                                 "this thread, in the call that this one interrupted");
            }
            taken = true;
        }
        if (!taken) {
            for (const std::string &key : keys) {
                g_registry->held.emplace(key, me);
            }
            keys_ = std::move(keys);
            return;
        }
        if (Clock::now() >= deadline) {
            throw_lock_error(file_.target, "another thread of this process (PID "
                                               + std::to_string(::getpid()) + ")");
        }
        const auto slice = std::min(deadline, Clock::now() + host::ReleasedGil::kSignalInterval);
        if (g_registry->released.wait_until(lock, slice) == std::cv_status::timeout) {
            lock.unlock();
            gil.check_signals();
        }
    }
}

FileTurn::~FileTurn() {
    {
        const std::lock_guard<std::mutex> lock(g_registry->mutex);
        for (const std::string &key : keys_) {
            g_registry->held.erase(key);
        }
    }
    let_go();
    g_registry->released.notify_all();
}

bool FileTurn::among_processes(Clock::time_point deadline, host::ReleasedGil &gil) {
    if (!file_.local) {
        return true;
    }
    while (true) {
        if (!open_descriptor(file_.target)) {
            return errno != ENOENT;
        }
        if (flock_is_emulated(descriptor_)) {
            return true;
        }
        const bool queued = wait_for_lock(deadline, gil, [&](bool block) {
            return ::flock(descriptor_, block ? LOCK_EX : LOCK_EX | LOCK_NB);
        });
        if (!queued) {
            return true;
        }
        wait_for_file(descriptor_, deadline, gil);
        if (still_named(descriptor_, file_.target)) {
            return true;
        }
        let_go();  // renamed or removed while this call waited: the turn is on the file now there
    }
}

bool FileTurn::hold_new(const fs::path &path) {
    if (open_descriptor(path) && ::flock(descriptor_, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    let_go();
    return false;
}

void FileTurn::opened() {
    if (descriptor_ >= 0) {
        (void)::flock(descriptor_, LOCK_UN);
    }
}

bool FileTurn::open_descriptor(const fs::path &path) {
    // Opened under the registry's lock, so that a child forked meanwhile knows the descriptor
    // and closes its copy.
    const std::lock_guard<std::mutex> lock(g_registry->mutex);
    descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor_ >= 0) {
        g_registry->descriptors.insert(descriptor_);
    }
    return descriptor_ >= 0;
}

void FileTurn::let_go() {
    const std::lock_guard<std::mutex> lock(g_registry->mutex);
    if (g_registry->descriptors.erase(descriptor_) != 0) {
        (void)::flock(descriptor_, LOCK_UN);  // also where a forked child shares the descriptor
        ::close(descriptor_);
    }
    descriptor_ = -1;
}

}  // namespace tarnwell::sqlstore_module
