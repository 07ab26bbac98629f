#include "sqlstore_module/file_turn.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <list>
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
// turn_keys), the threads waiting for turns, and the descriptors of the files whose flock they
// hold or wait for. A child forked while a turn is held starts afresh: the thread that held it
// does not exist in it, and the child's copies of the descriptors, which would keep the flocks
// alive for as long as the child lives, are closed.
struct Waiter {
    std::thread::id thread;
    const std::vector<std::string> *keys;
};
using Waiters = std::list<Waiter>;
struct Registry {
    std::mutex mutex;
    std::condition_variable released;
    std::map<std::string, std::thread::id> held;
    Waiters waiting;  // the keys of the threads that wait for turns, in the order they came
    std::set<int> descriptors;
};
Registry *g_registry = new Registry;  // never destroyed: threads may be inside it at exit

// Whether another thread that came before the waiter at `place` waits for one of its keys:
// turns go in the order the threads came. (The same thread may have come before: a signal
// handler's call inside a call that waits.)
bool waited_for_by_earlier(const Registry &registry, Waiters::const_iterator place) {
    const std::vector<std::string> &wanted = *place->keys;
    for (auto earlier = registry.waiting.begin(); earlier != place; ++earlier) {
        if (earlier->thread == place->thread) {
            continue;
        }
        for (const std::string &key : *earlier->keys) {
            if (std::find(wanted.begin(), wanted.end(), key) != wanted.end()) {
                return true;
            }
        }
    }
    return false;
}

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
    std::vector<std::string> keys = turn_keys(file_);
    std::unique_lock<std::mutex> lock(g_registry->mutex);
    Registry &registry = *g_registry;
    const Waiters::iterator place
        = registry.waiting.insert(registry.waiting.end(), Waiter{me, &keys});
    // Leaves the line on every way out, with the registry's lock held.
    const auto leave = [&] {
        if (!lock.owns_lock()) {
            lock.lock();
        }
        registry.waiting.erase(place);
        registry.released.notify_all();
    };
    try {
        while (true) {
            const auto holder
                = std::find_if(keys.begin(), keys.end(), [&](const std::string &key) {
                      return registry.held.count(key) != 0;
                  });
            if (holder != keys.end() && registry.held.at(*holder) == me) {
                throw_lock_error(file_.target,
                                 "this thread, in the call that this one interrupted");
            }
            if (holder == keys.end() && !waited_for_by_earlier(registry, place)) {
                for (const std::string &key : keys) {
                    registry.held.emplace(key, me);
                }
                keys_ = keys;
                break;
            }
            if (Clock::now() >= deadline) {
                throw_lock_error(file_.target, "another thread of this process (PID "
                                                   + std::to_string(::getpid()) + ")");
            }
            const auto slice
                = std::min(deadline, Clock::now() + host::ReleasedGil::kSignalInterval);
            const bool timed_out
                = registry.released.wait_until(lock, slice) == std::cv_status::timeout;
            // Named anew, without the registry's lock: the file may have been created meanwhile.
            lock.unlock();
            if (timed_out) {
                gil.check_signals();
            }
            std::vector<std::string> now = turn_keys(file_);
            lock.lock();
            keys.swap(now);
        }
    } catch (...) {
        leave();
        throw;
    }
    leave();
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
        if (!queue_up(descriptor_, deadline, gil)) {
            return true;
        }
        wait_until_unlocked(descriptor_, deadline, gil);
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
