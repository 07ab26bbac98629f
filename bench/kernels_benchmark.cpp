// Kernel throughput in ns per sample. A strict left-to-right sum is bound by one
// floating-point add latency per sample; `vector_sum` should sit at that floor.
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kernels/average.hpp"

namespace {

std::vector<double> samples(std::size_t n) {
    std::mt19937_64 rng(42);
    std::lognormal_distribution<double> dist(0.0, 1.0);
    std::vector<double> x(n);
    for (double &v : x) {
        v = dist(rng);
    }
    return x;
}

// Reports seconds per sample (printed with an SI prefix, e.g. "780p" = 0.78 ns).
void per_sample(benchmark::State &state, std::size_t n) {
    state.counters["per_sample"]
        = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate
                                                         | benchmark::Counter::kInvert);
}

// The floor of a strict left-to-right sum: a chain of dependent adds with no loads.
void BM_AddLatencyFloor(benchmark::State &state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    volatile double step_source = 1e-300;
    const double step = step_source;
    for (auto _ : state) {
        double acc = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            acc += step;
            asm volatile("" : "+x"(acc));  // keeps the chain in a register, unfolded
        }
        benchmark::DoNotOptimize(acc);
    }
    per_sample(state, n);
}

void BM_VectorSum(benchmark::State &state) {
    const auto x = samples(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarnwell::vector_sum(x));
    }
    per_sample(state, x.size());
}

void BM_Average(benchmark::State &state, const std::string &method) {
    const auto x = samples(static_cast<std::size_t>(state.range(0)));
    const std::vector<double> w(x.size(), 0.5);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarnwell::average(x, method, &w));
    }
    per_sample(state, x.size());
}

#define SIZES ->Arg(1000)->Arg(100000)->Arg(1000000)
BENCHMARK(BM_AddLatencyFloor) SIZES;
BENCHMARK(BM_VectorSum) SIZES;
BENCHMARK_CAPTURE(BM_Average, arithmetic, std::string("arithmetic")) SIZES;
BENCHMARK_CAPTURE(BM_Average, weighted, std::string("weighted")) SIZES;
BENCHMARK_CAPTURE(BM_Average, harmonic, std::string("harmonic")) SIZES;
BENCHMARK_CAPTURE(BM_Average, geometric, std::string("geometric")) SIZES;

}  // namespace

BENCHMARK_MAIN();
