// A new database file, created whole, and removed again when the call that created it fails,
// so that a failed call leaves the folder as it found it.
//
//   NewFile created = take_turn(file, turn, deadline, gil);   // creates the file if missing
//   ... open, use and close it ...                           // a throw removes a new file
//   created.keep();
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <utility>

#include "host_api/unlocked.hpp"
#include "sqlstore_module/file_turn.hpp"

namespace tarnwell::sqlstore_module {

// A database file that the call created: removed again when the call fails, so that a failed
// call leaves the folder as it found it, unless another client has had it open meanwhile.
class NewFile {
public:
    NewFile() = default;
    NewFile(std::filesystem::path path, const struct stat &status)
        : path_(std::move(path)), device_(status.st_dev), inode_(status.st_ino) {}
    NewFile(NewFile &&other) noexcept
        : path_(std::exchange(other.path_, {})), device_(other.device_), inode_(other.inode_) {}
    NewFile &operator=(NewFile &&) = delete;
    ~NewFile();

    explicit operator bool() const { return !path_.empty(); }

    // Keeps the file: the call succeeded, or another client has used the file.
    void keep() { path_.clear(); }

private:
    std::filesystem::path path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// Takes this process's turn on `file` among processes (FileTurn::among_processes), creating
// the file whole first when it is missing: DuckDB creates a file before it locks and writes
// it, and another process that opens it in between finds no database in it. So an empty
// database is written under a temporary name beside it (".<name>.new-<pid>-<n>"), the turn on
// it taken, and a hard link puts it in place unless a file is there by then. Where that cannot
// be done (no such folder, no hard links), DuckDB's own open creates the file later, or says
// what is wrong. Returns the file when this call created it.
NewFile take_turn(const DatabaseFile &file,
                  FileTurn &turn,
                  Clock::time_point deadline,
                  host::ReleasedGil &gil);

}  // namespace tarnwell::sqlstore_module
