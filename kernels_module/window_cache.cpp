#include "kernels_module/window_cache.hpp"

#include <cstddef>
#include <iterator>
#include <list>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "kernels_module/window_match.hpp"

namespace py = pybind11;

namespace tarnwell::kernels_module {
namespace {

constexpr std::size_t kBudgetBytes = std::size_t{64} << 20;
// One cached float: its object as the allocator hands it out, its pointer and its value.
constexpr std::size_t kBytesPerFloat = 32 + sizeof(PyObject *) + sizeof(double);
// One id's bookkeeping besides its name and its floats.
constexpr std::size_t kBytesPerEntry = 256;

PyObject *new_float(double value) {
    PyObject *item = PyFloat_FromDouble(value);
    if (item == nullptr) {
        throw py::error_already_set();
    }
    return item;
}

void release(PyObject *const *items, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        Py_DECREF(items[i]);  // exact floats: freeing one runs no Python code
    }
}

// What caching `floats` floats for the id `id` counts against the budget.
std::size_t cost(const std::string &id, std::size_t floats) {
    return kBytesPerEntry + id.size() + floats * kBytesPerFloat;
}

// The window handed out last for one id: owned references to its floats and their values.
struct Entry {
    explicit Entry(std::string name) : id(std::move(name)) {}
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;
    ~Entry() { release(floats.data(), floats.size()); }

    std::size_t bytes() const { return cost(id, values.size()); }

    std::string id;
    std::vector<PyObject *> floats;
    std::vector<double> values;
};

class WindowCache {
public:
    py::list build(const std::string &id,
                   std::vector<double> window,
                   const std::vector<double> &chunk,
                   const std::vector<py::object> &chunk_floats);

    // Empties the cache for good; called at interpreter shutdown.
    void close() {
        closed_ = true;
        index_.clear();
        lru_.clear();
        bytes_ = 0;
    }

private:
    using Iterator = std::list<Entry>::iterator;

    void register_cleanup();
    Entry *find(const std::string &id);
    void update(const std::string &id,
                std::optional<WindowSources> sources,
                std::vector<double> window,
                const py::list &list);
    void replace_floats(Entry &entry, std::optional<WindowSources> sources, const py::list &list);
    void erase(Iterator it);
    void erase(const std::string &id);

    std::list<Entry> lru_;  // most recently used first
    std::unordered_map<std::string_view, Iterator> index_;  // views of the entries' ids
    std::size_t bytes_ = 0;
    bool cleanup_registered_ = false;
    bool closed_ = false;
};

// Never destroyed: a destructor at process exit would release objects of a finalised
// interpreter. close() empties it while the interpreter is still alive.
WindowCache &window_cache() {
    static WindowCache *const cache = new WindowCache();
    return *cache;
}

void WindowCache::register_cleanup() {
    try {
        py::module_::import("atexit").attr("register")(
            py::cpp_function([] { window_cache().close(); }));
        cleanup_registered_ = true;
    } catch (const py::error_already_set &) {
        // Without the hook the cache stays unused; the next call tries again.
    }
}

Entry *WindowCache::find(const std::string &id) {
    const auto it = index_.find(std::string_view(id));
    return it == index_.end() ? nullptr : &*it->second;
}

void WindowCache::erase(Iterator it) {
    bytes_ -= it->bytes();
    index_.erase(std::string_view(it->id));
    lru_.erase(it);
}

void WindowCache::erase(const std::string &id) {
    const auto it = index_.find(std::string_view(id));
    if (it != index_.end()) {
        erase(it->second);
    }
}

// Makes `entry.floats` the items of `list`. When the list began with the entry's own floats
// from `sources->previous_begin` on, only the floats that left and the ones that came are
// touched. Throws std::bad_alloc before changing anything.
void WindowCache::replace_floats(Entry &entry,
                                 std::optional<WindowSources> sources,
                                 const py::list &list) {
    PyObject *const *items = PySequence_Fast_ITEMS(list.ptr());
    const auto size = static_cast<std::size_t>(PyList_GET_SIZE(list.ptr()));
    std::vector<PyObject *> &floats = entry.floats;
    if (!sources) {
        std::vector<PyObject *> fresh(items, items + size);
        for (PyObject *item : fresh) {
            Py_INCREF(item);
        }
        floats.swap(fresh);
        release(fresh.data(), fresh.size());
        return;
    }
    const std::size_t begin = sources->previous_begin;
    const std::size_t kept = floats.size() - begin;
    floats.reserve(size);
    release(floats.data(), begin);
    floats.erase(floats.begin(), floats.begin() + static_cast<std::ptrdiff_t>(begin));
    for (std::size_t i = kept; i < size; ++i) {
        Py_INCREF(items[i]);
        floats.push_back(items[i]);
    }
}

// Remembers `list` as the window of `id`, the most recently used one, and evicts the least
// recently used ids beyond the budget. A window too large for the budget, an empty one or
// a failed allocation leaves `id` uncached.
void WindowCache::update(const std::string &id,
                         std::optional<WindowSources> sources,
                         std::vector<double> window,
                         const py::list &list) {
    if (window.empty() || cost(id, window.size()) > kBudgetBytes) {
        erase(id);
        return;
    }
    try {
        const auto it = index_.find(std::string_view(id));
        Iterator entry;
        if (it == index_.end()) {
            lru_.emplace_front(id);
            entry = lru_.begin();
            try {
                index_.emplace(std::string_view(entry->id), entry);
            } catch (...) {
                lru_.pop_front();
                throw;
            }
            bytes_ += entry->bytes();
        } else {
            entry = it->second;
            lru_.splice(lru_.begin(), lru_, entry);
        }
        const std::size_t before = entry->bytes();
        replace_floats(*entry, sources, list);
        entry->values = std::move(window);
        bytes_ = bytes_ - before + entry->bytes();
    } catch (const std::bad_alloc &) {
        erase(id);
        return;
    }
    while (bytes_ > kBudgetBytes) {
        erase(std::prev(lru_.end()));
    }
}

py::list WindowCache::build(const std::string &id,
                            std::vector<double> window,
                            const std::vector<double> &chunk,
                            const std::vector<py::object> &chunk_floats) {
    if (!cleanup_registered_ && !closed_) {
        register_cleanup();
    }
    // Allocating the list may collect garbage and so run any Python code, this op on the
    // same id included. The cache is read only afterwards, and from here on nothing runs
    // Python code: references are taken, floats made and floats freed.
    py::list list(window.size());
    const bool usable = cleanup_registered_ && !closed_;
    const Entry *entry = usable ? find(id) : nullptr;
    std::optional<WindowSources> sources;
    if (usable) {
        sources = match_window(entry != nullptr ? entry->values.data() : nullptr,
                               entry != nullptr ? entry->values.size() : 0, chunk.data(),
                               chunk.size(), window.data(), window.size());
    }
    std::size_t next = 0;
    const auto put = [&list, &next](PyObject *item) {
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(next++), item);
    };
    if (sources) {
        for (std::size_t i = sources->previous_begin; entry != nullptr && i < entry->values.size();
             ++i) {
            Py_INCREF(entry->floats[i]);
            put(entry->floats[i]);
        }
        for (std::size_t i = sources->chunk_begin; i < chunk.size(); ++i) {
            put(chunk_floats.empty() ? new_float(chunk[i]) : chunk_floats[i].inc_ref().ptr());
        }
    } else {
        while (next < window.size()) {
            put(new_float(window[next]));
        }
    }
    if (usable) {
        update(id, sources, std::move(window), list);
    }
    return list;
}

}  // namespace

py::list window_list(const std::string &fifo_id,
                     std::vector<double> window,
                     const std::vector<double> &chunk,
                     const std::vector<py::object> &chunk_floats) {
    return window_cache().build(fifo_id, std::move(window), chunk, chunk_floats);
}

}  // namespace tarnwell::kernels_module
