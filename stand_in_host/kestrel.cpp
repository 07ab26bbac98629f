// A small stand-in for the pipeline host `kestrel`, for tests and the demo.
//
// It offers the registration capsule that the op modules bind to, plus a way to call the
// registered ops on a payload:
//
//   kestrel.registrations()        every name registered so far, in call order
//   kestrel.call(name, payload)    runs one op on a dict and returns that dict
//   kestrel.run(names, payload)    runs ops in order and returns the dict
//
// An exception leaving an op becomes a Python exception by pybind11's default translation.
#include <string>
#include <unordered_map>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "host_api/pipeline.hpp"

namespace py = pybind11;

namespace {

struct Registry {
    std::vector<std::string> names;  // every call, in order
    std::unordered_map<std::string, pipeline::OpFn> ops;  // the newest op per name
};

Registry &registry() {
    static Registry instance;
    return instance;
}

void register_op_c_api(const char *name, pipeline::OpFn op) {
    Registry &r = registry();
    r.names.emplace_back(name);
    r.ops[name] = op;
}

pipeline::OpFn find_op(const std::string &name) {
    const auto &ops = registry().ops;
    const auto it = ops.find(name);
    if (it == ops.end()) {
        throw py::key_error(name);
    }
    return it->second;
}

py::dict call(const std::string &name, py::dict payload) {
    const pipeline::OpFn op = find_op(name);
    pipeline::Data data{std::move(payload)};
    op(data);
    return data.payload;
}

// Resolves every name before the first op runs, so an unknown name runs nothing.
py::dict run(const std::vector<std::string> &names, py::dict payload) {
    std::vector<pipeline::OpFn> ops;
    ops.reserve(names.size());
    for (const std::string &name : names) {
        ops.push_back(find_op(name));
    }
    pipeline::Data data{std::move(payload)};
    for (const pipeline::OpFn op : ops) {
        op(data);
    }
    return data.payload;
}

}  // namespace

PYBIND11_MODULE(kestrel, m) {
    m.doc() = "Stand-in pipeline host: registers compiled ops and calls them on payloads";
    m.attr(tarnwell::host::kCapsuleAttribute)
        = py::capsule(reinterpret_cast<void *>(&register_op_c_api), tarnwell::host::kCapsuleName);
    m.def(
        "registrations", [] { return registry().names; },
        "Every op name registered so far, in call order.");
    m.def("call", &call, py::arg("name"), py::arg("payload"),
          "Runs the op registered under `name` on `payload` and returns the payload.");
    m.def("run", &run, py::arg("names"), py::arg("payload"),
          "Runs the named ops in order on `payload` and returns the payload.");
}
