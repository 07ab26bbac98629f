#include "kernels_module/window_cache.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <unordered_map>
#include <utility>

#include "kernels_module/window_match.hpp"

namespace py = pybind11;

namespace tarnwell::kernels_module {
namespace {

// 64 MiB at 48 bytes a cached float: its object as the allocator hands it out, its pointer
// and its value.
constexpr std::size_t kBudgetFloats = (std::size_t{64} << 20) / 48;
// What an id's own bookkeeping counts against the budget, in floats.
constexpr std::size_t kFloatsPerId = 6;

PyObject *new_float(double value) {
    PyObject *item = PyFloat_FromDouble(value);
    if (item == nullptr) {
        throw py::error_already_set();
    }
    return item;
}

// The window handed out last for one id: owned references to its floats, their values, and
// when it was used last.
struct Entry {
    Entry() = default;
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;
    ~Entry() {
        for (PyObject *item : floats) {
            Py_DECREF(item);  // exact floats: freeing one runs no Python code
        }
    }

    std::size_t cost() const { return kFloatsPerId + values.size(); }

    std::vector<PyObject *> floats;
    std::vector<double> values;
    std::uint64_t last_use = 0;
};

// Makes `entry.floats` the items of `list`. When the list begins with the entry's own floats
// from `sources->previous_begin` on, only the floats that left and the ones that came are
// touched. Throws std::bad_alloc before changing anything.
void replace_floats(Entry &entry,
                    const std::optional<WindowSources> &sources,
                    const py::list &list) {
    PyObject *const *items = PySequence_Fast_ITEMS(list.ptr());
    const auto size = static_cast<std::size_t>(PyList_GET_SIZE(list.ptr()));
    std::vector<PyObject *> &floats = entry.floats;
    const std::size_t begin = sources ? sources->previous_begin : floats.size();
    floats.reserve(size);
    for (std::size_t i = 0; i < begin; ++i) {
        Py_DECREF(floats[i]);
    }
    floats.erase(floats.begin(), floats.begin() + static_cast<std::ptrdiff_t>(begin));
    for (std::size_t i = floats.size(); i < size; ++i) {
        Py_INCREF(items[i]);
        floats.push_back(items[i]);
    }
}

// The cache: every id's entry, and what they all cost against the budget. Never destroyed:
// a destructor at process exit would release objects of a finalised interpreter;
// close_cache() empties it while the interpreter is still alive.
struct Cache {
    std::unordered_map<std::string, Entry> entries;
    std::size_t cost = 0;  // in floats
    std::uint64_t clock = 0;  // one tick per use of an entry
    bool cleanup_registered = false;
    bool closed = false;
};
Cache &g_cache = *new Cache();

void erase(std::unordered_map<std::string, Entry>::iterator it) {
    g_cache.cost -= it->second.cost();
    g_cache.entries.erase(it);
}

// Empties the cache for good; called at interpreter shutdown.
void close_cache() {
    g_cache.closed = true;
    g_cache.entries.clear();
    g_cache.cost = 0;
}

void register_cleanup() {
    try {
        py::module_::import("atexit").attr("register")(py::cpp_function(&close_cache));
        g_cache.cleanup_registered = true;
    } catch (const py::error_already_set &) {
        // Without the hook the cache stays unused; the next call tries again.
    }
}

// Remembers `list` as the window of `id`, the most recently used one, and evicts the least
// recently used ids beyond the budget. A window too large for the budget, an empty one or
// a failed allocation leaves `id` uncached.
void update(const std::string &id,
            const std::optional<WindowSources> &sources,
            std::vector<double> window,
            const py::list &list) {
    auto it = g_cache.entries.find(id);
    try {
        if (!window.empty() && kFloatsPerId + window.size() <= kBudgetFloats) {
            if (it == g_cache.entries.end()) {
                it = g_cache.entries.try_emplace(id).first;
                g_cache.cost += it->second.cost();
            }
            Entry &entry = it->second;
            replace_floats(entry, sources, list);
            g_cache.cost = g_cache.cost - entry.values.size() + window.size();
            entry.values = std::move(window);
            entry.last_use = ++g_cache.clock;
            while (g_cache.cost > kBudgetFloats) {
                erase(std::min_element(g_cache.entries.begin(), g_cache.entries.end(),
                                       [](const auto &a, const auto &b) {
                                           return a.second.last_use < b.second.last_use;
                                       }));
            }
            return;
        }
    } catch (const std::bad_alloc &) {
        // Uncached, as if too large.
    }
    if (it != g_cache.entries.end()) {
        erase(it);
    }
}

}  // namespace

py::list window_list(const std::string &fifo_id,
                     std::vector<double> window,
                     const std::vector<double> &chunk,
                     const std::vector<py::object> &chunk_floats) {
    if (!g_cache.cleanup_registered && !g_cache.closed) {
        register_cleanup();
    }
    // Allocating the list may collect garbage and so run any Python code, this op on the
    // same id included. The cache is read only afterwards, and from here on nothing runs
    // Python code: references are taken, floats made and floats freed.
    py::list list(window.size());
    const auto found = g_cache.entries.find(fifo_id);
    const Entry *entry = found != g_cache.entries.end() ? &found->second : nullptr;
    const std::optional<WindowSources> sources
        = match_window(entry != nullptr ? entry->values.data() : nullptr,
                       entry != nullptr ? entry->values.size() : 0, chunk.data(), chunk.size(),
                       window.data(), window.size());
    std::size_t next = 0;
    const auto put = [&list, &next](PyObject *item) {
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(next++), item);
    };
    if (sources) {
        for (std::size_t i = sources->previous_begin; entry != nullptr && i < entry->floats.size();
             ++i) {
            Py_INCREF(entry->floats[i]);
            put(entry->floats[i]);
        }
        // The floats that leave the window and that nobody but the cache holds carry the
        // chunk's new values: no other holder can tell, and a float freed and a float made are
        // saved for each (a chunk read from an array brings no floats of its own).
        std::size_t spare = 0;
        const std::size_t leaving = entry != nullptr ? sources->previous_begin : 0;
        const auto make_float = [&](double value) {
            for (; spare < leaving; ++spare) {
                PyObject *item = entry->floats[spare];
                if (Py_REFCNT(item) == 1) {
                    ++spare;
                    reinterpret_cast<PyFloatObject *>(item)->ob_fval = value;
                    Py_INCREF(item);
                    return item;
                }
            }
            return new_float(value);
        };
        for (std::size_t i = sources->chunk_begin; i < chunk.size(); ++i) {
            put(chunk_floats.empty() ? make_float(chunk[i]) : chunk_floats[i].inc_ref().ptr());
        }
    } else {
        while (next < window.size()) {
            put(new_float(window[next]));
        }
    }
    if (g_cache.cleanup_registered && !g_cache.closed) {
        update(fifo_id, sources, std::move(window), list);
    }
    return list;
}

}  // namespace tarnwell::kernels_module
