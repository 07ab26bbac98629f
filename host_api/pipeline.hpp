// The contract between the host `kestrel` and the op modules.
//
// The host hands every op a `pipeline::Data&` for the duration of one call. Ops use only
// its `payload`, a dict they read by key and change in place by item assignment. A module
// reaches the host's registration function through a capsule on the host module:
//
//   kestrel._register_op_capsule  -- capsule "kestrel.register_op_v1" -> register_op_c_api
//
// and calls it once per op with a name and a function pointer, both valid for the life of
// the process.
#pragma once

#include <pybind11/pybind11.h>

namespace pipeline {

// The host's per-call record. Ops touch only the first member.
struct Data {
    pybind11::dict payload;
};

// An op: reads and writes `data.payload`, reports failure only by throwing.
using OpFn = void (*)(Data &);

// The host's registration function, `register_op_c_api(name, op)`.
using RegisterOpFn = void (*)(const char *name, OpFn op);

}  // namespace pipeline

namespace tarnwell::host {

inline constexpr char kHostModule[] = "kestrel";
inline constexpr char kCapsuleAttribute[] = "_register_op_capsule";
inline constexpr char kCapsuleName[] = "kestrel.register_op_v1";

}  // namespace tarnwell::host
