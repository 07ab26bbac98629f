// Turns on a database file: one caller at a time, about in the order they came, among the
// threads of this process and among processes, whatever names they give the file.
//
//   const DatabaseFile file = locate_database(path);            // as DuckDB will read it
//   FileTurn turn(file, deadline, gil);                         // among this process's threads
//   if (!turn.among_processes(deadline, gil)) { /* missing */ } // among processes
//   ... open the file with DuckDB ...
//   turn.opened();                                              // the next may queue up
//   ... use and close the file ...
//                                                               // ~FileTurn: all let go
//
// DuckDB's own fcntl lock keeps every other client out of a file while it is open, but a
// client that polls that lock is starved by one that takes it back at once, and it does not
// keep a second instance in this process off the file. So callers here take turns first:
// threads by the names that every name of the file agrees on; processes through a queue, the
// exclusive flock of the file (independent of fcntl locks on Linux), which the kernel hands on
// to a waiter the moment its holder lets go. The caller at the head of the queue waits there
// until DuckDB's lock is free, and leaves the queue once its DuckDB holds the file: a holder
// that comes back at once queues up behind it. DuckDB's lock still guards the file against
// every client, so a client that does not queue up (a stock DuckDB) is waited for as before.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "host_api/unlocked.hpp"

namespace tarnwell::sqlstore_module {

using Clock = std::chrono::steady_clock;

// The moment `timeout_seconds` from now; an infinite timeout never comes.
Clock::time_point deadline_after(double timeout_seconds);

// A database path as DuckDB reads it.
struct DatabaseFile {
    // Whether DuckDB opens it as a file of the local file system, not through an extension
    // ("md:x", "sqlite:x.db") or a remote file system ("s3://...").
    bool local = false;
    // Where a local path leads in the end: a leading "~" expanded and a "file://" prefix
    // dropped as DuckDB does, made absolute, symbolic links followed (also dangling ones).
    // Otherwise the path as given.
    std::filesystem::path target;
};
DatabaseFile locate_database(const std::string &path);

// The calling thread's turn on a database file, held for the object's lifetime. Waits until
// `deadline`, then throws DuckDB's lock error, which a thread that holds the turn already (a
// signal handler's call inside a call on the file) gets at once. A process forked meanwhile
// starts with no turns: the threads that held them are not in it.
class FileTurn {
public:
    FileTurn(const DatabaseFile &file, Clock::time_point deadline, host::ReleasedGil &gil);
    FileTurn(const FileTurn &) = delete;
    FileTurn &operator=(const FileTurn &) = delete;
    ~FileTurn();

    // Waits for the turn of this process among the processes that use the file, until
    // `deadline`: at the head of the queue, until no process holds DuckDB's lock of it.
    // Returns false only when the file is missing (call it again once it is created); true
    // when the turn is held, and also when it cannot be taken (a path that is no local file,
    // a file system without flock, the deadline passed), so that DuckDB's own lock alone
    // decides. The turn ends with the object, which must outlive DuckDB's use of the file:
    // closing a descriptor of a file drops the fcntl locks that the process holds on it.
    bool among_processes(Clock::time_point deadline, host::ReleasedGil &gil);

    // Takes the head of the queue of a new file that nobody else knows yet, at `path`, before
    // it is linked into place under its name; returns whether it was taken.
    bool hold_new(const std::filesystem::path &path);

    // Leaves the queue once DuckDB holds the file open, so that the next caller waits at its
    // head for DuckDB's lock.
    void opened();

    // Gives up the turn among processes.
    void let_go();

private:
    // Opens `path` as the descriptor of the turn among processes; false when it cannot.
    bool open_descriptor(const std::filesystem::path &path);

    DatabaseFile file_;
    std::vector<std::string> keys_;
    int descriptor_ = -1;
};

}  // namespace tarnwell::sqlstore_module
