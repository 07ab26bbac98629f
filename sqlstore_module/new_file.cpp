#include "sqlstore_module/new_file.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

#include "duckdb.hpp"

namespace fs = std::filesystem;

namespace tarnwell::sqlstore_module {
namespace {

// Removes what workers killed while creating `target` left behind: their temporary files
// ".<name>.new-<pid>-<n>", once no process <pid> exists.
void remove_stale_temporaries(const fs::path &target) {
    const std::string prefix = "." + target.filename().string() + ".new-";
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(target.parent_path(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            fs::remove(entry.path(), error);
        }
    }
}

// Creates a new database file at `target` whole, with this process's turn on it (see
// take_turn).
NewFile create_whole(const fs::path &target, FileTurn &turn) {
    static std::atomic<unsigned> g_count{0};
    remove_stale_temporaries(target);
    const fs::path temporary = target.parent_path()
                               / ("." + target.filename().string() + ".new-"
                                  + std::to_string(::getpid()) + "-" + std::to_string(g_count++));
    struct stat status {};
    bool linked = false;
    try {
        duckdb::DBConfig config;
        config.options.load_extensions = false;  // only the file is wanted
        { const duckdb::DuckDB written(temporary.string(), &config); }
        const bool held = turn.hold_new(temporary);
        linked = ::link(temporary.c_str(), target.c_str()) == 0
                 && ::stat(target.c_str(), &status) == 0;
        if (held && !linked) {
            turn.let_go();
        }
    } catch (const std::exception &) {  // DuckDB's open of the file itself says what is wrong
    }
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return linked ? NewFile(target, status) : NewFile();
}

}  // namespace

NewFile::~NewFile() {
    struct stat status {};
    if (!path_.empty() && ::stat(path_.c_str(), &status) == 0 && status.st_dev == device_
        && status.st_ino == inode_) {
        (void)::unlink(path_.c_str());
    }
}

NewFile take_turn(const DatabaseFile &file,
                  FileTurn &turn,
                  Clock::time_point deadline,
                  host::ReleasedGil &gil) {
    if (turn.among_processes(deadline, gil)) {
        return {};
    }
    NewFile created = create_whole(file.target, turn);
    if (!created) {
        turn.among_processes(deadline, gil);  // created by another meanwhile, or not at all
    }
    return created;
}

}  // namespace tarnwell::sqlstore_module
