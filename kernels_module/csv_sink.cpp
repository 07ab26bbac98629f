// csv_sink: appends one row of results from the payload to the CSV file named by a
// "csv://" target and records the target in payload["status"].
//
// The header and the data line are rendered completely before the file system is touched,
// so a row that cannot be rendered leaves no folder, file or byte behind. The append happens
// under an exclusive lock of the file, where the file's size decides whether the header goes
// out, so concurrent appenders write one header and whole lines. A failed write or close is
// reported, and what the call wrote is taken back unless somebody appended meanwhile. An
// append that finds the file unlocked makes six system calls: open, fstat, flock, stat (the
// path still names the file), one write of its lines, close.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "host_api/pipeline.hpp"
#include "host_api/unlocked.hpp"
#include "host_api/waiting.hpp"
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

// The header line and the data line of a row, each ended by "\n", in one text whose data
// line starts at `data_start`. Fields are written verbatim: readers of existing files rely on
// there being no quoting.
struct RenderedRow {
    std::string lines;
    std::size_t data_start;
};

RenderedRow rendered_row(std::string header, const std::string &line) {
    const std::size_t data_start = header.size() + 1;
    header += '\n';
    header += line;
    header += '\n';
    return {std::move(header), data_start};
}

// Appends `size` bytes of UTF-8 from `utf8`, or returns false (with the Python error cleared)
// when there are none.
bool append_utf8_or_clear(std::string &out, const char *utf8, Py_ssize_t size) {
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.append(utf8, static_cast<std::size_t>(size));
    return true;
}

// Appends what str(value) gives when `value` is exactly a str, int, float or bool, or is
// None, without running any Python code. Returns false for any other value and for an int
// beyond 64 bits; the general rendering then takes over.
bool append_plain_value(std::string &out, PyObject *value) {
    if (PyUnicode_CheckExact(value)) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(value, &size);
        return append_utf8_or_clear(out, utf8, size);
    }
    if (PyFloat_CheckExact(value)) {
        // float.__str__ itself: the shortest text that reads back exactly.
        const std::unique_ptr<char, decltype(&PyMem_Free)> text(
            PyOS_double_to_string(PyFloat_AS_DOUBLE(value), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr),
            &PyMem_Free);
        return append_utf8_or_clear(out, text.get(),
                                    text ? static_cast<Py_ssize_t>(std::strlen(text.get())) : 0);
    }
    if (PyBool_Check(value)) {
        out += value == Py_True ? "True" : "False";
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) {
            return false;
        }
        char digits[24];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
        return true;
    }
    if (value == Py_None) {
        out += "None";
        return true;
    }
    return false;
}

// Renders, in one walk, a row that is exactly a dict with exact str keys and plain values
// (see append_plain_value). Returns nothing for any other row.
std::optional<RenderedRow> render_plain(const py::dict &row) {
    if (!PyDict_CheckExact(row.ptr())) {
        return std::nullopt;
    }
    std::string header;
    std::string line;
    Py_ssize_t position = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    bool first = true;
    while (PyDict_Next(row.ptr(), &position, &key, &value)) {
        if (!std::exchange(first, false)) {
            header += ',';
            line += ',';
        }
        if (!PyUnicode_CheckExact(key) || !append_plain_value(header, key)
            || !append_plain_value(line, value)) {
            return std::nullopt;
        }
    }
    return rendered_row(std::move(header), line);
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

// Renders any row: every column name is converted to text first, then each value is looked
// up by its name and rendered by str().
RenderedRow render(const py::dict &row) {
    if (auto rendered = render_plain(row)) {
        return *std::move(rendered);
    }
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
    return rendered_row(std::move(header), line);
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

// The error std::filesystem gives for querying `path`, from the errno of the failed query.
fs::filesystem_error status_error(const std::string &path, int error) {
    return fs::filesystem_error("status", path, std::error_code(error, std::generic_category()));
}

// Refuses a directory or another non-regular file of status `status`, named `path`, with the
// errors std::filesystem gives for its size.
void refuse_irregular(const struct stat &status, const std::string &path) {
    if (S_ISDIR(status.st_mode)) {
        throw fs::filesystem_error("cannot get file size", path,
                                   std::make_error_code(std::errc::is_a_directory));
    }
    if (!S_ISREG(status.st_mode)) {
        throw fs::filesystem_error("cannot get file size", path,
                                   std::make_error_code(std::errc::not_supported));
    }
}

// O_NONBLOCK: a FIFO without a reader fails the open instead of blocking it; O_NOCTTY: a
// terminal never becomes the process's controlling terminal.
constexpr int kOpenFlags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// Opens `path` for appending, creating the file when missing. When the open fails, the path's
// status says why: a directory, another non-regular file or a status that cannot be queried
// gives std::filesystem's error; missing folders are created and the open is tried again.
int open_for_append(const std::string &path) {
    int fd = ::open(path.c_str(), kOpenFlags | O_CREAT | O_APPEND, 0666);
    if (fd < 0) {
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0) {
            refuse_irregular(status, path);
        } else if (errno == ENOENT || errno == ENOTDIR) {
            std::error_code ignored;
            fs::create_directories(fs::path(path).parent_path(), ignored);
        } else {
            throw status_error(path, errno);
        }
        fd = ::open(path.c_str(), kOpenFlags | O_CREAT | O_APPEND, 0666);
    }
    if (fd < 0) {
        throw std::runtime_error("csv_sink_op: failed to open file: " + path);
    }
    return fd;
}

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
    bool locked = false;
    host::retry_until(host::Clock::time_point::max(), released, [&](bool) {
        locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        return locked || (errno != EWOULDBLOCK && errno != EINTR);
    });
    return locked;
}

// Whether two statuses are of one file.
bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Takes the lock of the file open as `fd`, opened by `path`, and returns whether `path` still
// names it then, with the file's status under the lock in `file`: a consumer may have renamed
// or removed the file, to rotate it, while this call waited. Anything but a regular file is
// refused before it is locked, so a device or a FIFO with a reader is opened and closed
// again, and nothing more.
bool lock_named(int fd, const std::string &path, struct stat &file) {
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) {
        throw status_error(path, errno);
    }
    refuse_irregular(opened, path);
    if (!lock_exclusive(fd)) {
        throw std::runtime_error("csv_sink_op: failed to lock file: " + path);
    }
    if (::stat(path.c_str(), &file) == 0) {
        return same_file(file, opened);
    }
    if (errno != ENOENT && errno != ENOTDIR) {
        throw status_error(path, errno);
    }
    return false;
}

// Cuts `file`, open as `fd`, back to the size it had before this call's `written` bytes
// went in, when it ends exactly where they left it, that is when nobody appended meanwhile.
void take_back(int fd, const struct stat &file, ssize_t written) {
    struct stat now {};
    if (written > 0 && ::fstat(fd, &now) == 0 && same_file(now, file)
        && now.st_size == file.st_size + written) {
        (void)!::ftruncate(fd, file.st_size);
    }
}

// Appends `text` to `file`, open and locked as `out`, and closes it. On a failed write or
// close, takes back what was written (see take_back) and returns false. A close reports a
// failed flush after it has let go of the descriptor and the lock: the file is then opened
// again by `path` and locked for the take-back, which cuts nothing when `path` has come to
// name another file.
bool append_and_close(Descriptor &out,
                      const std::string &path,
                      const struct stat &file,
                      std::string_view text) {
    const ssize_t written = ::write(out.get(), text.data(), text.size());
    if (written != static_cast<ssize_t>(text.size())) {
        take_back(out.get(), file, written);
        return false;
    }
    if (!out.close()) {
        const Descriptor again(::open(path.c_str(), kOpenFlags));
        if (again.get() >= 0 && lock_exclusive(again.get())) {
            take_back(again.get(), file, written);
        }
        return false;
    }
    return true;
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
    const RenderedRow rendered = render(row);

    std::optional<Descriptor> out;
    struct stat file {};
    do {
        out.emplace(open_for_append(path));
    } while (!lock_named(out->get(), path, file));
    // Under the lock, the file's size is where this call's lines go, and the header is due
    // exactly when the file is empty.
    const std::string_view lines = rendered.lines;
    if (!append_and_close(*out, path, file,
                          file.st_size == 0 ? lines : lines.substr(rendered.data_start))) {
        throw std::runtime_error("csv_sink_op: failed to write file: " + path);
    }
    set_item(payload, keys.status, status);
}

}  // namespace tarnwell::kernels_module
