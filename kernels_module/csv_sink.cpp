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
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
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

// `value` as Python's dict() takes it; nothing when dict() refuses it.
std::optional<py::dict> as_dict(const py::handle value) {
    if (PyDict_Check(value.ptr())) {
        return py::reinterpret_borrow<py::dict>(value);
    }
    PyObject *converted
        = PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), value.ptr());
    if (converted == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return py::reinterpret_steal<py::dict>(converted);
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

// The header line and the data line of a row, each ended by "\n". Fields are written
// verbatim: readers of existing files rely on there being no quoting.
struct RenderedRow {
    std::string header;
    std::string line;
};

// Appends `size` bytes of UTF-8 from `utf8`, or returns false (with the Python error cleared)
// when there are none.
bool append_utf8(std::string &out, const char *utf8, Py_ssize_t size) {
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
        return append_utf8(out, utf8, size);
    }
    if (PyFloat_CheckExact(value)) {
        // float.__str__ itself: the shortest text that reads back exactly.
        const std::unique_ptr<char, decltype(&PyMem_Free)> text(
            PyOS_double_to_string(PyFloat_AS_DOUBLE(value), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr),
            &PyMem_Free);
        return append_utf8(out, text.get(),
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
    RenderedRow rendered;
    Py_ssize_t position = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    bool first = true;
    while (PyDict_Next(row.ptr(), &position, &key, &value)) {
        if (!std::exchange(first, false)) {
            rendered.header += ',';
            rendered.line += ',';
        }
        if (!PyUnicode_CheckExact(key) || !append_plain_value(rendered.header, key)
            || !append_plain_value(rendered.line, value)) {
            return std::nullopt;
        }
    }
    rendered.header += '\n';
    rendered.line += '\n';
    return rendered;
}

// Appends the UTF-8 text of str(value) to `out`.
void append_text(std::string &out, const py::handle value) {
    const py::str text = py::reinterpret_borrow<py::object>(value);
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
    names.reserve(row.size());
    for (const auto item : row) {
        names.push_back(py::cast<std::string>(item.first));
    }
    RenderedRow rendered;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            rendered.header += ',';
            rendered.line += ',';
        }
        rendered.header += names[i];
        append_text(rendered.line, row[py::str(names[i])]);
    }
    rendered.header += '\n';
    rendered.line += '\n';
    return rendered;
}

// Refuses a path that names a directory or another non-regular file, or that cannot be
// queried, with the errors std::filesystem gives for it; returns whether the file is missing.
// Nothing is opened, so a FIFO or a device never sees the call.
bool file_missing(const std::string &file) {
    struct statx status {};
    if (::statx(AT_FDCWD, file.c_str(), 0, STATX_TYPE, &status) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return true;
        }
        throw fs::filesystem_error("status", file,
                                   std::error_code(error, std::generic_category()));
    }
    if (S_ISDIR(status.stx_mode)) {
        throw fs::filesystem_error("cannot get file size", file,
                                   std::make_error_code(std::errc::is_a_directory));
    }
    if (!S_ISREG(status.stx_mode)) {
        throw fs::filesystem_error("cannot get file size", file,
                                   std::make_error_code(std::errc::not_supported));
    }
    return false;
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

// Opens `path` for appending, creating it when missing, and returns the descriptor. A FIFO
// that replaced the file since it was checked fails the open rather than blocking it.
int open_for_append(const std::string &path) {
    const int fd
        = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666);
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

// Writes all of `text` to `fd`; returns how many bytes went out before a failure.
std::size_t write_all(int fd, std::string_view text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    return written;
}

// Cuts the file open as `fd` back to `start` when it ends exactly where this call's `written`
// bytes left it, that is when nobody appended meanwhile.
void take_back(int fd, off_t start, std::size_t written) {
    if (written != 0 && ::lseek(fd, 0, SEEK_END) == start + static_cast<off_t>(written)) {
        (void)!::ftruncate(fd, start);
    }
}

// Appends `text` to the locked file `out`, which ends at `start`, and closes it. On a failed
// write or close, takes back what was written (see take_back) and returns false.
bool append_and_close(Descriptor &out, off_t start, std::string_view text) {
    const std::size_t written = write_all(out.get(), text);
    if (written != text.size()) {
        take_back(out.get(), start, written);
        return false;
    }
    // A close reports a failed flush after it has let go of the descriptor; the duplicate
    // keeps the file, and the lock held by their shared open file description, for the take
    // back. Its own close comes after the flush has been checked and only drops the lock.
    const Descriptor held(::dup(out.get()));
    if (held.get() < 0) {
        take_back(out.get(), start, written);
        return false;
    }
    if (!out.close()) {
        take_back(held.get(), start, written);
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
    if (uri.compare(0, kSchemeLength, kScheme) != 0) {
        set_item(payload, keys.status, status);
        return;
    }
    const std::string path = uri.substr(kSchemeLength);

    const py::dict row = build_row(payload, keys);
    if (row.empty()) {
        set_item(payload, keys.status, status);
        return;
    }

    // The file system would see only the part before a NUL byte: refuse such a path.
    if (path.find('\0') != std::string::npos) {
        throw std::runtime_error("csv_sink_op: failed to open file: " + path);
    }
    const RenderedRow rendered = render(row);
    if (file_missing(path)) {
        std::error_code ignored;
        fs::create_directories(fs::path(path).parent_path(), ignored);
    }
    std::optional<Descriptor> locked;
    do {
        locked.emplace(open_for_append(path));
        if (!lock_exclusive(locked->get())) {
            throw std::runtime_error("csv_sink_op: failed to lock file: " + path);
        }
    } while (!still_named(locked->get(), path));
    Descriptor &out = *locked;
    // Under the lock, the end of the file is where this call's lines go, and the header is
    // due exactly when the file is empty.
    const off_t start = ::lseek(out.get(), 0, SEEK_END);
    std::string first_lines;
    std::string_view text = rendered.line;
    if (start == 0) {
        first_lines = rendered.header + rendered.line;
        text = first_lines;
    }
    if (start < 0 || !append_and_close(out, start, text)) {
        throw std::runtime_error("csv_sink_op: failed to write file: " + path);
    }
    set_item(payload, keys.status, status);
}

}  // namespace tarnwell::kernels_module
