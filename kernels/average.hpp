// Averaging kernels: the library's summation primitive and the mean of a sample list with
// the standard error of that mean.
//
//   std::vector<double> x = {2, 4, 4, 4, 5, 5, 7, 9};
//   auto [mean, se] = tarnwell::average(x, "arithmetic", nullptr);  // 5.0, sqrt(0.5)
//
// Every sum is a strict left-to-right accumulation starting at 0.0, so results are
// reproducible bit for bit. None touches global state; all are re-entrant.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tarnwell {

// Returns the sum of `samples`, added one at a time in index order; 0.0 when empty.
double vector_sum(const std::vector<double> &samples);

// Returns (mean, standard error of the mean) of `samples` under `method`, matched without
// regard to ASCII case: "harmonic", "geometric", "weighted" (with `weights` of the same
// length; otherwise arithmetic) and anything else arithmetic. The standard error is
// sqrt((sum((x - mean)^2) / n) / n) about the chosen mean. An empty list gives (0.0, 0.0).
// Throws std::invalid_argument for "geometric" with a sample <= 0.0.
std::pair<double, double> average(const std::vector<double> &samples,
                                  const std::string &method,
                                  const std::vector<double> *weights);

// As above, for a caller that already holds `sample_sum` == vector_sum(samples), summed in
// the same strict order while it gathered the samples; the arithmetic mean then needs no
// pass of its own. The result is the same bit for bit.
std::pair<double, double> average(const std::vector<double> &samples,
                                  const std::string &method,
                                  const std::vector<double> *weights,
                                  double sample_sum);

}  // namespace tarnwell
