// Module start-up shared by the op modules.
//
// A module lists its ops in a table and instantiates the start-up with it:
//
//   constexpr tarnwell::host::ModuleSpec kModule{"_name", "docstring", kOps, 3, false};
//   extern "C" PYBIND11_EXPORT PyObject *PyInit__name() {
//       return tarnwell::host::module_init<kModule>();
//   }
//
// The entry point refuses any interpreter but the one the module was compiled for and
// returns a multi-phase module definition with exactly two slots. Creation reuses the
// module completed earlier in this interpreter; execution sets the docstring, binds to the
// host through its capsule and registers every op of the table once per interpreter.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <stdexcept>

#include <pybind11/pybind11.h>

#include "host_api/pipeline.hpp"
#include "host_api/version_check.hpp"

namespace tarnwell::host {

// One row of a module's op table: the name given to the host and the op.
struct OpEntry {
    const char *name;
    pipeline::OpFn fn;
};

// What distinguishes one op module from another.
struct ModuleSpec {
    const char *name;                // import name
    const char *doc;                 // set as __doc__ during execution
    const OpEntry *const *ops;       // registration order
    std::size_t op_count;
    bool hold_gil_for_registration;  // nested gil_scoped_acquire around import and calls
};

namespace startup_detail {

namespace py = pybind11;

// pybind11 keeps its per-interpreter cache of completed modules under this key of the
// interpreter state dict; `py::detail::get_cached_module` reads it.
inline constexpr char kModuleCacheKey[] = "__pybind11_module_cache";

inline void cache_completed_module(const py::str &name, const py::handle module) {
    py::dict state = py::detail::get_python_state_dict();
    if (!state.contains(kModuleCacheKey)) {
        state[kModuleCacheKey] = py::dict();
    }
    state[kModuleCacheKey][name] = module;
}

// Creation slot: the module completed earlier under the spec's name, or a new empty one.
// Like every slot here it turns exceptions into the Python error indicator; the handlers
// only set that indicator.
// NOLINTNEXTLINE(bugprone-exception-escape)
inline PyObject *create_module(PyObject *spec, PyModuleDef * /*def*/) noexcept {
    try {
        py::object name = py::none();
        if (PyObject *raw = PyObject_GetAttrString(spec, "name")) {
            name = py::reinterpret_steal<py::object>(raw);
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            return nullptr;
        }
        if (name.is_none()) {
            PyErr_SetString(PyExc_ImportError, "module spec is missing a name");
            return nullptr;
        }
        const py::str text(name);
        if (PyObject *cached = py::detail::get_cached_module(text)) {
            Py_INCREF(cached);
            return cached;
        }
        return PyModule_NewObject(text.ptr());
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return nullptr;
}

// Imports the host, takes its registration function and registers every op of the table.
// Every reference taken here is released on return.
inline void register_ops(const ModuleSpec &spec) {
    const py::module_ host = py::module_::import(kHostModule);
    const py::object capsule = host.attr(kCapsuleAttribute);
    void *pointer = PyCapsule_GetPointer(capsule.ptr(), kCapsuleName);
    if (pointer == nullptr) {
        PyErr_Clear();
        throw std::runtime_error("Failed to obtain register_op_c_api from kestrel capsule");
    }
    const auto register_op = reinterpret_cast<pipeline::RegisterOpFn>(pointer);
    for (std::size_t i = 0; i < spec.op_count; ++i) {
        register_op(spec.ops[i]->name, spec.ops[i]->fn);
    }
}

// Execution slot. A Python error becomes ImportError "initialization failed" chained to it;
// any other exception becomes an ImportError carrying its what() text.
// NOLINTNEXTLINE(bugprone-exception-escape): see create_module
inline int exec_module(PyObject *raw_module, const ModuleSpec &spec) noexcept {
    try {
        const auto module = py::reinterpret_borrow<py::module_>(raw_module);
        const py::str name = module.attr("__spec__").attr("name");
        if (py::detail::get_cached_module(name) != nullptr) {
            return 0;
        }
        module.attr("__doc__") = py::str(spec.doc);
        {
            std::optional<py::gil_scoped_acquire> gil;
            if (spec.hold_gil_for_registration) {
                gil.emplace();
            }
            register_ops(spec);
        }
        cache_completed_module(name, module);
        return 0;
    } catch (py::error_already_set &e) {
        py::raise_from(e, PyExc_ImportError, "initialization failed");
    } catch (const std::exception &e) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

template <const ModuleSpec &Spec>
int exec_slot(PyObject *module) {
    return exec_module(module, Spec);
}

}  // namespace startup_detail

// The body of a module's PyInit_ entry point.
template <const ModuleSpec &Spec>
// NOLINTNEXTLINE(bugprone-exception-escape): see create_module
PyObject *module_init() noexcept {
    namespace py = pybind11;
    static constexpr char kCompiled[]
        = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);
    const char *runtime = Py_GetVersion();
    if (!version_matches(kCompiled, runtime)) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, "
                     "but the interpreter version is incompatible: %s.",
                     kCompiled,
                     runtime);
        return nullptr;
    }
    try {
        py::detail::ensure_internals();
        static PyModuleDef_Slot slots[] = {
            {Py_mod_create, reinterpret_cast<void *>(&startup_detail::create_module)},
            {Py_mod_exec, reinterpret_cast<void *>(&startup_detail::exec_slot<Spec>)},
            {0, nullptr},
        };
        static PyModuleDef definition{
            PyModuleDef_HEAD_INIT,
            /*m_name=*/Spec.name,
            /*m_doc=*/nullptr,
            /*m_size=*/0,
            /*m_methods=*/nullptr,
            /*m_slots=*/slots,
            /*m_traverse=*/nullptr,
            /*m_clear=*/nullptr,
            /*m_free=*/nullptr,
        };
        return PyModuleDef_Init(&definition);
    } catch (py::error_already_set &e) {
        py::raise_from(e, PyExc_ImportError, "initialization failed");
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return nullptr;
}

}  // namespace tarnwell::host
