#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernels/average.hpp"

namespace {

using tarnwell::average;
using tarnwell::vector_sum;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

TEST(VectorSum, AddsStrictlyLeftToRight) {
    EXPECT_EQ(bits(vector_sum({})), bits(0.0));
    EXPECT_EQ(vector_sum({2.5}), 2.5);
    // 1e16 + 1 rounds back to 1e16, so the order of the terms decides the result.
    EXPECT_EQ(vector_sum({1e16, 1.0, -1e16}), 0.0);
    EXPECT_EQ(vector_sum({1e16, -1e16, 1.0}), 1.0);
    EXPECT_EQ(vector_sum({1.0, 1e-16, 1e-16, 1e-16, 1e-16}), 1.0);
    EXPECT_TRUE(std::isnan(vector_sum({1.0, kNaN})));
    EXPECT_TRUE(std::isnan(vector_sum({kInf, -kInf})));
}

TEST(Average, EmptyListIgnoresTheMethod) {
    for (const char *method :
         {"arithmetic", "geometric", "GEOMETRIC", "harmonic", "weighted", "", "no such method"}) {
        const std::vector<double> weights = {1.0};
        for (const auto &[mean, se] :
             {average({}, method, &weights), average({}, method, &weights, 0.0)}) {
            EXPECT_EQ(bits(mean), bits(0.0)) << method;
            EXPECT_EQ(bits(se), bits(0.0)) << method;
        }
    }
}

struct Case {
    const char *name;
    std::vector<double> samples;
    std::string method;
    std::vector<double> weights;  // used when `with_weights`
    bool with_weights;
    double mean;
    double se;
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class AverageCases : public testing::TestWithParam<Case> {};

TEST_P(AverageCases, MeanAndStandardError) {
    const Case &c = GetParam();
    const auto [mean, se] = average(c.samples, c.method, c.with_weights ? &c.weights : nullptr);
    EXPECT_DOUBLE_EQ(mean, c.mean);
    EXPECT_DOUBLE_EQ(se, c.se);
}

INSTANTIATE_TEST_SUITE_P(
    Average,
    AverageCases,
    testing::Values(
        Case{"one_sample", {7.25}, "arithmetic", {}, false, 7.25, 0.0},
        Case{"arithmetic", {2, 4, 4, 4, 5, 5, 7, 9}, "arithmetic", {}, false, 5.0, std::sqrt(0.5)},
        Case{"unknown_is_arithmetic", {1, 3}, "median", {}, false, 2.0, std::sqrt(0.5)},
        Case{"empty_name_is_arithmetic", {1, 3}, "", {}, false, 2.0, std::sqrt(0.5)},
        Case{"blank_is_not_trimmed",
             {1, 2, 4},
             " harmonic",
             {},
             false,
             7.0 / 3,
             std::sqrt(14.0 / 27)},
        Case{"geometric_mixed_case", {1, 4}, "Geometric", {}, false, 2.0, std::sqrt(1.25)},
        Case{"harmonic_skips_zero_but_counts_it",
             {0, 2},
             "harmonic",
             {},
             false,
             4.0,
             std::sqrt(5.0)},
        Case{"harmonic_cancelling", {1, -1}, "harmonic", {}, false, 0.0, std::sqrt(0.5)},
        Case{"harmonic_all_zero", {0, 0, -0.0}, "HARMONIC", {}, false, 0.0, 0.0},
        Case{"weighted", {1, 3}, "weighted", {1, 3}, true, 2.5, std::sqrt(0.625)},
        Case{"weighted_zero_sum", {1, 3}, "weighted", {1, -1}, true, 0.0, std::sqrt(2.5)},
        Case{"weighted_without_weights", {1, 3}, "weighted", {}, false, 2.0, std::sqrt(0.5)},
        Case{"weighted_length_mismatch", {1, 3}, "Weighted", {1, 2, 3}, true, 2.0, std::sqrt(0.5)},
        Case{
            "weights_ignored_by_others", {1, 3}, "arithmetic", {0, 1}, true, 2.0, std::sqrt(0.5)}),
    [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST(Average, GeometricRefusesNonPositiveSamples) {
    for (const std::vector<double> &samples :
         {std::vector<double>{0.0}, {-0.0}, {1.0, 2.0, -3.0}, {-1.0, kNaN}, {2.0, 0.0, 4.0}}) {
        try {
            average(samples, "geometric", nullptr);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument &e) {
            EXPECT_STREQ(e.what(), "geometric mean is only defined for positive values");
        }
    }
}

TEST(Average, NaNAndInfinityPropagate) {
    for (const char *method : {"arithmetic", "harmonic", "geometric", "weighted"}) {
        const auto [mean, se] = average({1.0, kNaN, 2.0}, method, nullptr);
        EXPECT_TRUE(std::isnan(mean)) << method;
        EXPECT_TRUE(std::isnan(se)) << method;
    }
    const auto [mean, se] = average({1.0, kInf}, "arithmetic", nullptr);
    EXPECT_EQ(mean, kInf);
    EXPECT_TRUE(std::isnan(se));
    const auto [hmean, hse] = average({kInf, kInf}, "harmonic", nullptr);
    EXPECT_EQ(hmean, 0.0);  // both reciprocals are 0.0
    EXPECT_EQ(hse, kInf);
}

TEST(Average, LeavesTheMethodNameAsGiven) {
    const std::string method = "GeoMetric";
    average({1.0, 2.0}, method, nullptr);
    EXPECT_EQ(method, "GeoMetric");
}

// The definitions written out as plain loops, to compare bit for bit.
std::pair<double, double> reference(const std::vector<double> &x,
                                    const std::string &method,
                                    const std::vector<double> *w) {
    const double n = static_cast<double>(x.size());
    double m = 0.0;
    if (method == "weighted") {
        double sw = 0.0, d = 0.0;
        for (double v : *w)
            sw += v;
        for (std::size_t i = 0; i < x.size(); ++i)
            d += (*w)[i] * x[i];
        m = sw == 0.0 ? 0.0 : d / sw;
    } else if (method == "harmonic") {
        double r = 0.0;
        for (double v : x)
            if (v != 0.0)
                r += 1.0 / v;
        m = r == 0.0 ? 0.0 : n / r;
    } else if (method == "geometric") {
        double l = 0.0;
        for (double v : x)
            l += std::log(v);
        m = std::exp(l / n);
    } else {
        double s = 0.0;
        for (double v : x)
            s += v;
        m = s / n;
    }
    double q = 0.0;
    for (double v : x)
        q += (v - m) * (v - m);
    return {m, std::sqrt((q / n) / n)};
}

TEST(Average, BitExactAgainstPlainLoops) {
    std::mt19937_64 rng(20261208);
    std::lognormal_distribution<double> positive(0.0, 3.0);
    std::uniform_real_distribution<double> weight(-1.0, 4.0);
    for (int round = 0; round < 50; ++round) {
        const std::size_t n = 1 + rng() % 5000;
        std::vector<double> x(n), w(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = positive(rng);
            w[i] = weight(rng);
        }
        for (const char *method : {"arithmetic", "weighted", "harmonic", "geometric"}) {
            const auto got = average(x, method, &w);
            const auto want = reference(x, method, &w);
            ASSERT_EQ(bits(got.first), bits(want.first)) << method << " n=" << n;
            ASSERT_EQ(bits(got.second), bits(want.second)) << method << " n=" << n;
            const auto with_sum = average(x, method, &w, vector_sum(x));
            ASSERT_EQ(bits(with_sum.first), bits(want.first)) << method << " n=" << n;
            ASSERT_EQ(bits(with_sum.second), bits(want.second)) << method << " n=" << n;
        }
        double s = 0.0;
        for (double v : x)
            s += v;
        ASSERT_EQ(bits(vector_sum(x)), bits(s));
    }
}

}  // namespace
