// Whether a FIFO's new window can be assembled from values already at hand: the tail of the
// window handed out before and the chunk just appended.
//
//   previous {1, 2, 3}, chunk {4, 5}, window {3, 4, 5}  ->  {previous_begin 2, chunk_begin 0}
//   previous {1, 2, 3}, chunk {4, 5}, window {5}        ->  {previous_begin 3, chunk_begin 1}
//   previous {1, 2, 3}, chunk {4, 5}, window {9, 4, 5}  ->  nothing
//
// Values compare by their bit patterns, so NaN matches the same NaN and -0.0 never matches
// 0.0. Free of Python, so it can be tested on its own.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>

namespace tarnwell::kernels_module {

// window == previous[previous_begin:] followed by chunk[chunk_begin:], where one of the two
// parts is whole or empty: either previous_begin == previous_size (the window lies within the
// chunk) or chunk_begin == 0.
struct WindowSources {
    std::size_t previous_begin;
    std::size_t chunk_begin;
};

// Returns where `window` takes its values from if it is, bit for bit, the newest
// `window_size` values of `previous` followed by `chunk`; nothing otherwise.
inline std::optional<WindowSources> match_window(const double *previous,
                                                 std::size_t previous_size,
                                                 const double *chunk,
                                                 std::size_t chunk_size,
                                                 const double *window,
                                                 std::size_t window_size) {
    const auto same = [](const double *a, const double *b, std::size_t n) {
        return n == 0 || std::memcmp(a, b, n * sizeof(double)) == 0;
    };
    if (window_size <= chunk_size) {
        const std::size_t chunk_begin = chunk_size - window_size;
        if (!same(window, chunk + chunk_begin, window_size)) {
            return std::nullopt;
        }
        return WindowSources{previous_size, chunk_begin};
    }
    const std::size_t kept = window_size - chunk_size;
    if (kept > previous_size) {
        return std::nullopt;
    }
    const std::size_t previous_begin = previous_size - kept;
    if (!same(window, previous + previous_begin, kept)
        || !same(window + kept, chunk, chunk_size)) {
        return std::nullopt;
    }
    return WindowSources{previous_begin, 0};
}

}  // namespace tarnwell::kernels_module
