// csv_sink: appends one row of results from the payload to the CSV file named by a
// "csv://" target and records the target in payload["status"].
//
// The header (when due) and the data line are rendered completely before the file is opened
// and go out in one append, so a row that cannot be rendered leaves the file as it was (and
// creates none). A failed write or close is reported, and the bytes of a partial write are taken back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <pybind11/pybind11.h>

#include "host_api/pipeline.hpp"
#include "kernels_module/ops.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace tarnwell::kernels_module {
namespace {

constexpr char kScheme[] = "csv://";
constexpr std::size_t kSchemeLength = sizeof(kScheme) - 1;

// The target URI from the first present of "handleUri", "handle" and "csvPath".
std::string target_uri(const py::dict &payload) {
    if (payload.contains("handleUri")) {
        return py::cast<std::string>(payload["handleUri"]);
    }
    if (payload.contains("handle")) {
        return py::cast<std::string>(payload["handle"]);
    }
    if (payload.contains("csvPath")) {
        return kScheme + py::cast<std::string>(payload["csvPath"]);
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
py::dict build_row(const py::dict &payload) {
    py::object data;
    if (payload.contains("data")) {
        data = payload["data"];
        if (auto row = as_dict(data)) {
            return *std::move(row);
        }
    }
    if (payload.contains("stats")) {
        if (auto row = as_dict(payload["stats"])) {
            return *std::move(row);
        }
    }
    py::dict row;
    if (data) {
        row["value"] = data;
    } else if (payload.contains("mean")) {
        row["mean"] = payload["mean"];
        if (payload.contains("se")) {
            row["se"] = payload["se"];
        }
    }
    return row;
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

// The header line (when due) followed by the data line, each ended by "\n". Fields are
// written verbatim: readers of existing files rely on there being no quoting.
std::string render(const py::dict &row, bool header_due) {
    std::vector<std::string> names;
    names.reserve(row.size());
    for (const auto item : row) {
        names.push_back(py::cast<std::string>(item.first));
    }
    std::string text;
    if (header_due) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i != 0) {
                text += ',';
            }
            text += names[i];
        }
        text += '\n';
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            text += ',';
        }
        append_text(text, row[py::str(names[i])]);
    }
    text += '\n';
    return text;
}

// A file descriptor opened for appending, closed on every exit.
class AppendFile {
public:
    explicit AppendFile(const std::string &path)
        : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666)) {}
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;
    ~AppendFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    bool is_open() const { return fd_ >= 0; }

    // Appends all of `text`. On failure, takes back what this call wrote when nobody else
    // appended meanwhile, and returns false.
    bool append(const std::string &text) {
        struct stat before {};
        if (::fstat(fd_, &before) != 0) {
            return false;
        }
        std::size_t written = 0;
        while (written < text.size()) {
            const ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                take_back(before.st_size, written);
                return false;
            }
            written += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Closes the file and returns whether the close succeeded.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    void take_back(off_t start, std::size_t written) {
        struct stat now {};
        if (written != 0 && ::fstat(fd_, &now) == 0
            && now.st_size == start + static_cast<off_t>(written)) {
            (void) !::ftruncate(fd_, start);
        }
    }

    int fd_;
};

}  // namespace

void csv_sink_op(pipeline::Data &data) {
    const py::dict payload = data.payload;
    const std::string uri = target_uri(payload);
    const py::str status("handled via " + uri);
    if (uri.compare(0, kSchemeLength, kScheme) != 0) {
        payload["status"] = status;
        return;
    }
    const std::string path = uri.substr(kSchemeLength);

    const py::dict row = build_row(payload);
    if (row.empty()) {
        payload["status"] = status;
        return;
    }

    // The file system would see only the part before a NUL byte: refuse such a path.
    if (path.find('\0') != std::string::npos) {
        throw std::runtime_error("csv_sink_op: failed to open file: " + path);
    }
    const fs::path file(path);
    std::error_code ignored;
    fs::create_directories(file.parent_path(), ignored);
    // Both calls throw filesystem_error when the path cannot be queried or is no regular file.
    const bool header_due = !fs::exists(file) || fs::file_size(file) == 0;

    // Rendered before the file is opened, so that a row that cannot be rendered does not
    // even leave a new empty file behind.
    const std::string text = render(row, header_due);
    AppendFile out(path);
    if (!out.is_open()) {
        throw std::runtime_error("csv_sink_op: failed to open file: " + path);
    }
    const bool appended = out.append(text);
    if (!out.close() || !appended) {
        throw std::runtime_error("csv_sink_op: failed to write file: " + path);
    }
    payload["status"] = status;
}

}  // namespace tarnwell::kernels_module
