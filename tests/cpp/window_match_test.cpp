#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernels_module/window_match.hpp"

namespace {

using tarnwell::kernels_module::match_window;
using tarnwell::kernels_module::WindowSources;
using V = std::vector<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double nan_with_payload() {
    const std::uint64_t pattern = 0x7ff8000000000001;
    double x;
    std::memcpy(&x, &pattern, sizeof x);
    return x;
}

struct Case {
    const char *name;
    V previous, chunk, window;
    std::optional<WindowSources> want;
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class MatchWindow : public testing::TestWithParam<Case> {};

TEST_P(MatchWindow, Sources) {
    const Case &c = GetParam();
    const auto got = match_window(c.previous.data(), c.previous.size(), c.chunk.data(),
                                  c.chunk.size(), c.window.data(), c.window.size());
    ASSERT_EQ(got.has_value(), c.want.has_value());
    if (got) {
        EXPECT_EQ(got->previous_begin, c.want->previous_begin);
        EXPECT_EQ(got->chunk_begin, c.want->chunk_begin);
    }
}

// A store that was reset, trimmed by another writer or fed by one, shows as a window that is
// not the previous one plus the chunk, and gets no sources.
INSTANTIATE_TEST_SUITE_P(
    Window,
    MatchWindow,
    testing::Values(
        Case{"slides", {1, 2, 3}, {4, 5}, {3, 4, 5}, WindowSources{2, 0}},
        Case{"grows", {1, 2, 3}, {4}, {1, 2, 3, 4}, WindowSources{0, 0}},
        Case{"empty_chunk_same_window", {1, 2}, {}, {1, 2}, WindowSources{0, 0}},
        Case{"empty_chunk_shorter_window", {1, 2, 3}, {}, {3}, WindowSources{2, 0}},
        Case{"window_within_chunk", {1, 2, 3}, {4, 5, 6}, {5, 6}, WindowSources{3, 1}},
        Case{"window_is_chunk", {}, {4, 5}, {4, 5}, WindowSources{0, 0}},
        Case{"all_empty", {}, {}, {}, WindowSources{0, 0}},
        Case{"store_reset", {1, 2, 3}, {4, 5}, {4, 5}, WindowSources{3, 0}},
        Case{"store_reset_longer_window", {1, 2, 3}, {4}, {4}, WindowSources{3, 0}},
        Case{"store_held_more", {2, 3}, {4}, {1, 2, 3, 4}, std::nullopt},
        Case{"store_holds_other_values", {1, 2, 3}, {4}, {2, 9, 4}, std::nullopt},
        Case{"other_writer_between", {1, 2, 3}, {4}, {3, 7, 4}, std::nullopt},
        Case{"chunk_differs", {1, 2, 3}, {4, 5}, {3, 4, 6}, std::nullopt},
        Case{"nothing_before", {}, {4}, {3, 4}, std::nullopt},
        Case{"negative_zero_is_not_zero", {1, 0.0}, {2}, {-0.0, 2}, std::nullopt},
        Case{"zero_is_not_negative_zero", {1}, {-0.0}, {1, 0.0}, std::nullopt},
        Case{"nan_matches_itself", {kNaN, 1}, {kNaN}, {kNaN, 1, kNaN}, WindowSources{0, 0}},
        Case{"nan_payloads_differ", {kNaN}, {1}, {nan_with_payload(), 1}, std::nullopt}),
    [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

}  // namespace
