// The interpreter version rule of the op modules, free of Python so it can be tested alone.
#pragma once

#include <cstring>

namespace tarnwell::host {

// Returns whether the interpreter version string `runtime` (as from `Py_GetVersion()`)
// belongs to the release `compiled` ("3.10"): it begins with it and the next character is
// not a decimal digit, so "3.10.13 (main...)" matches and "3.100", "3.1.2", "3.11" do not.
inline bool version_matches(const char *compiled, const char *runtime) {
    const std::size_t n = std::strlen(compiled);
    if (std::strncmp(runtime, compiled, n) != 0) {
        return false;
    }
    return !(runtime[n] >= '0' && runtime[n] <= '9');
}

}  // namespace tarnwell::host
