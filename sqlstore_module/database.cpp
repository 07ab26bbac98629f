#include "sqlstore_module/database.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace py = pybind11;

namespace tarnwell::sqlstore_module {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kDefaultLockTimeout = 5.0;
constexpr auto kSignalInterval = std::chrono::milliseconds(20);
constexpr double kFirstBackoff = 0.001;  // seconds
constexpr double kMaxBackoff = 0.050;

bool is_lock_conflict(const std::exception &e) {
    const duckdb::ErrorData error(e);
    return error.Type() == duckdb::ExceptionType::IO
           && error.RawMessage().rfind("Could not set lock on file", 0) == 0;
}

// Sleeps for `seconds`, in slices short enough for the signal check.
void sleep_for(double seconds, SignalCheck &check) {
    const auto until
        = Clock::now()
          + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (auto now = Clock::now(); now < until; now = Clock::now()) {
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, kSignalInterval));
        check.now();
    }
}

}  // namespace

double lock_timeout(const py::dict &payload, const char *op) {
    const py::str key("duckdb_lock_timeout");
    if (!payload.contains(key)) {
        return kDefaultLockTimeout;
    }
    const py::object value = payload[key];
    const bool number
        = (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) || PyFloat_Check(value.ptr());
    if (number) {
        const double seconds = PyFloat_AsDouble(value.ptr());  // an int too large is -1 + error
        if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
            PyErr_Clear();
        } else if (seconds >= 0.0) {
            return seconds;
        }
    }
    throw std::runtime_error(std::string(op)
                             + ": payload['duckdb_lock_timeout'] must be a non-negative number of "
                               "seconds");
}

void check_database_path(const std::string &path, const char *op) {
    if (path.find('\0') != std::string::npos) {
        throw std::runtime_error(std::string(op)
                                 + ": payload['duckdb_path'] must not contain a NUL byte");
    }
    if (duckdb::DBConfig::IsInMemoryDatabase(path.c_str())) {
        throw std::runtime_error(std::string(op)
                                 + ": payload['duckdb_path'] must name a file, not an in-memory"
                                   " database: '"
                                 + path + "'");
    }
}

void SignalCheck::now() {
    next_ = Clock::now() + kSignalInterval;
    const py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

namespace {

// One mutex per database file that a thread of this process waits for or works on, by the
// file's canonical path; an entry goes when its last user leaves.
std::mutex g_turns_mutex;
std::unordered_map<std::string, std::shared_ptr<std::timed_mutex>> g_turns;

std::string turn_key(const std::string &path) {
    std::error_code ignored;
    const auto absolute = std::filesystem::absolute(path, ignored);
    const auto canonical = std::filesystem::weakly_canonical(absolute, ignored);
    return canonical.empty() ? path : canonical.string();
}

}  // namespace

FileTurn::FileTurn(const std::string &path, SignalCheck &check) : key_(turn_key(path)) {
    {
        const std::lock_guard<std::mutex> lock(g_turns_mutex);
        auto &slot = g_turns[key_];
        if (!slot) {
            slot = std::make_shared<std::timed_mutex>();
        }
        slot_ = slot;
    }
    try {
        while (!slot_->try_lock_for(kSignalInterval)) {
            check.now();
        }
    } catch (...) {
        leave();
        throw;
    }
}

FileTurn::~FileTurn() {
    slot_->unlock();
    leave();
}

void FileTurn::leave() noexcept {
    slot_.reset();
    const std::lock_guard<std::mutex> lock(g_turns_mutex);
    const auto it = g_turns.find(key_);
    if (it != g_turns.end() && it->second.use_count() == 1) {
        g_turns.erase(it);
    }
}

std::unique_ptr<duckdb::DuckDB> open_database(const std::string &path,
                                              duckdb::DBConfig *config,
                                              double timeout_seconds,
                                              SignalCheck &check) {
    const auto start = Clock::now();
    thread_local std::minstd_rand jitter(std::random_device{}());
    double backoff = kFirstBackoff;
    while (true) {
        try {
            return std::make_unique<duckdb::DuckDB>(path, config);
        } catch (const std::exception &e) {
            const double waited = std::chrono::duration<double>(Clock::now() - start).count();
            if (!is_lock_conflict(e) || waited >= timeout_seconds) {
                throw;
            }
            const double pause
                = backoff * std::uniform_real_distribution<double>(0.5, 1.5)(jitter);
            sleep_for(std::min(pause, timeout_seconds - waited), check);
            backoff = std::min(backoff * 2.0, kMaxBackoff);
        }
    }
}

}  // namespace tarnwell::sqlstore_module
