// csv_sink: appends one row of results from the payload to the CSV file named by a
// "csv://" target and records the target in payload["status"].
//
// The header and the data line are rendered completely before the file system is touched,
// so a row that cannot be rendered leaves no folder, file or byte behind. The append happens
// under an exclusive lock of the file, where the file's size decides whether the header goes
// out, so concurrent appenders write one header and whole lines. A failed write or close is
// reported, and what the call wrote is taken back unless somebody appended meanwhile.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "host_api/pipeline.hpp"
#include "host_api/unlocked.hpp"
#include "kernels_module/ops.hpp"
#include "kernels_module/samples.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace tarnwell::kernels_module {
namespace {

constexpr char kScheme[] = "csv://";
constexpr std::size_t kSchemeLength = sizeof(kScheme) - 1;

// The target URI from the first present of "handleUri", "handle" and "csvPath".
std::string target_uri(const py::dict &payload, const PayloadKeys &keys) {
    if (const py::object uri = find_item(payload, keys.handle_uri)) {
        return py::cast<std::string>(uri);
    }
    if (const py::object uri = find_item(payload, keys.handle)) {
        return py::cast<std::string>(uri);
    }
    if (const py::object path = find_item(payload, keys.csv_path)) {
        return kScheme + py::cast<std::string>(path);
    }
    return {};
}

// `value` as Python's dict() takes it (a dict as it is); nothing when dict() refuses it.
std::optional<py::dict> as_dict(const py::handle value) {
    try {
        return py::dict(py::reinterpret_borrow<py::object>(value));
    } catch (const py::error_already_set &) {
        return std::nullopt;
    }
}

// The row: "data" or "stats" taken as a dict, else {"value": data}, else mean and se.
py::dict build_row(const py::dict &payload, const PayloadKeys &keys) {
    const py::object data = find_item(payload, keys.data);
    if (data) {
        if (auto row = as_dict(data)) {
            return *std::move(row);
        }
    }
    if (const py::object stats = find_item(payload, keys.stats)) {
        if (auto row = as_dict(stats)) {
            return *std::move(row);
        }
    }
    py::dict row;
    if (data) {
        row["value"] = data;
    } else if (const py::object mean = find_item(payload, keys.mean)) {
        set_item(row, keys.mean, mean);
        if (const py::object se = find_item(payload, keys.se)) {
            set_item(row, keys.se, se);
        }
    }
    return row;
}

// Appends the UTF-8 text of `text`; a str without one (a lone surrogate) raises.
void append_utf8(std::string &out, const py::str &text) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
        throw py::error_already_set();
    }
    out.append(utf8, static_cast<std::size_t>(size));
}

// The header line and the data line of a row, each ended by "\n". Every column name is
// converted to text first, then each value is looked up by its name and rendered by str().
// Fields are written verbatim: readers of existing files rely on there being no quoting.
std::pair<std::string, std::string> render(const py::dict &row) {
    std::vector<std::string> names;
    for (const auto item : row) {
        names.push_back(py::cast<std::string>(item.first));
    }
    std::string header;
    std::string line;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            header += ',';
            line += ',';
        }
        header += names[i];
        append_utf8(line, py::str(row[py::str(names[i])]));
    }
    return {header + '\n', line + '\n'};
}

// A file descriptor, closed on every exit.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int get() const { return fd_; }

    // Closes the descriptor and returns whether the close succeeded.
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

// Takes the exclusive lock of the open file `fd`; returns false when the file system refuses
// it. While another holder keeps it, waits without the interpreter lock, letting signals
// through: a handler that raises (Ctrl-C) ends the wait with its error.
bool lock_exclusive(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
        return false;
    }
    host::ReleasedGil released;
    std::chrono::milliseconds pause(1);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, host::ReleasedGil::kSignalInterval);
        released.check_signals();
    }
    return true;
}

// Whether `path` still names the file open as `fd`: a consumer may have renamed or removed
// the file while this call waited for its lock.
bool still_named(int fd, const std::string &path) {
    struct stat open_file {};
    struct stat named {};
    return ::fstat(fd, &open_file) == 0 && ::stat(path.c_str(), &named) == 0
           && open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

// Appends `text` to the locked file `out`, which ends at `start`, and closes it. On a failed
// write or close, cuts the file back to `start` unless somebody appended meanwhile (the file
// does not end where this call's bytes left it), and returns false.
bool append_and_close(Descriptor &out, off_t start, std::string_view text) {
    const ssize_t written = ::write(out.get(), text.data(), text.size());
    // A close reports a failed flush after it has let go of the descriptor; the duplicate
    // keeps the file, and the lock held by their shared open file description, for the take
    // back. Its own close comes after the flush has been checked and only drops the lock.
    const Descriptor held(::dup(out.get()));
    if (written == static_cast<ssize_t>(text.size()) && held.get() >= 0 && out.close()) {
        return true;
    }
    const int fd = held.get() >= 0 ? held.get() : out.get();
    if (written > 0 && ::lseek(fd, 0, SEEK_END) == start + written) {
        (void)!::ftruncate(fd, start);
    }
    return false;
}

}  // namespace

void csv_sink_op(pipeline::Data &data) {
    const PayloadKeys &keys = payload_keys();
    const py::dict payload = data.payload;
    const std::string uri = target_uri(payload, keys);
    const py::str status("handled via " + uri);
    const py::dict row
        = uri.compare(0, kSchemeLength, kScheme) == 0 ? build_row(payload, keys) : py::dict();
    if (row.empty()) {
        set_item(payload, keys.status, status);
        return;
    }
    const std::string path = uri.substr(kSchemeLength);
    // The file system would see only the part before a NUL byte: refuse such a path.
    if (path.find('\0') != std::string::npos) {
        throw std::runtime_error("csv_sink_op: failed to open file: " + path);
    }
    const auto [header, line] = render(row);

    // A directory or another non-regular file is refused before anything is opened, so a
    // FIFO or a device never sees the call.
    if (const fs::file_status status = fs::status(path); !fs::exists(status)) {
        std::error_code ignored;
        fs::create_directories(fs::path(path).parent_path(), ignored);
    } else if (!fs::is_regular_file(status)) {
        (void)fs::file_size(path);  // throws the error for a directory or another kind of file
    }
    std::optional<Descriptor> out;
    do {
        // O_NONBLOCK: a FIFO that replaced the file since it was checked fails the open.
        out.emplace(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666));
        if (out->get() < 0) {
            throw std::runtime_error("csv_sink_op: failed to open file: " + path);
        }
        if (!lock_exclusive(out->get())) {
            throw std::runtime_error("csv_sink_op: failed to lock file: " + path);
        }
    } while (!still_named(out->get(), path));
    // Under the lock, the end of the file is where this call's lines go, and the header is
    // due exactly when the file is empty.
    const off_t start = ::lseek(out->get(), 0, SEEK_END);
    if (start < 0 || !append_and_close(*out, start, start == 0 ? header + line : line)) {
        throw std::runtime_error("csv_sink_op: failed to write file: " + path);
    }
    set_item(payload, keys.status, status);
}

}  // namespace tarnwell::kernels_module
