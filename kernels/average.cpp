#include "kernels/average.hpp"

#include <cctype>
#include <cmath>
#include <stdexcept>

namespace tarnwell {
namespace {

std::string lower_ascii(const std::string &text) {
    std::string lowered = text;
    for (char &c : lowered) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lowered;
}

double weighted_mean(const double *samples, std::size_t n, const std::vector<double> &weights) {
    const double weight_sum = vector_sum(weights);
    if (weight_sum == 0.0) {
        return 0.0;
    }
    double products = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        products += weights[i] * samples[i];
    }
    return products / weight_sum;
}

// n / sum(1 / x) over the non-zero samples; n still counts the zeros.
double harmonic_mean(const double *samples, std::size_t n) {
    double reciprocals = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (samples[i] != 0.0) {
            reciprocals += 1.0 / samples[i];
        }
    }
    return reciprocals == 0.0 ? 0.0 : static_cast<double>(n) / reciprocals;
}

double geometric_mean(const double *samples, std::size_t n) {
    double logs = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (samples[i] <= 0.0) {
            throw std::invalid_argument("geometric mean is only defined for positive values");
        }
        logs += std::log(samples[i]);
    }
    return std::exp(logs / static_cast<double>(n));
}

std::pair<double, double> average_of(const double *samples,
                                     std::size_t count,
                                     const std::string &method,
                                     const std::vector<double> *weights,
                                     const double *sample_sum) {
    if (count == 0) {
        return {0.0, 0.0};
    }
    const double n = static_cast<double>(count);
    const std::string name = lower_ascii(method);

    double mean;
    if (name == "weighted" && weights != nullptr && weights->size() == count) {
        mean = weighted_mean(samples, count, *weights);
    } else if (name == "harmonic") {
        mean = harmonic_mean(samples, count);
    } else if (name == "geometric") {
        mean = geometric_mean(samples, count);
    } else {
        mean = (sample_sum != nullptr ? *sample_sum : vector_sum(samples, count)) / n;
    }

    double squares = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double d = samples[i] - mean;
        squares += d * d;
    }
    const double variance = squares / n;
    return {mean, std::sqrt(variance / n)};
}

}  // namespace

double vector_sum(const double *samples, std::size_t count) {
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += samples[i];
    }
    return sum;
}

double vector_sum(const std::vector<double> &samples) {
    return vector_sum(samples.data(), samples.size());
}

std::pair<double, double> average(const double *samples,
                                  std::size_t count,
                                  const std::string &method,
                                  const std::vector<double> *weights) {
    return average_of(samples, count, method, weights, nullptr);
}

std::pair<double, double> average(const double *samples,
                                  std::size_t count,
                                  const std::string &method,
                                  const std::vector<double> *weights,
                                  double sample_sum) {
    return average_of(samples, count, method, weights, &sample_sum);
}

std::pair<double, double> average(const std::vector<double> &samples,
                                  const std::string &method,
                                  const std::vector<double> *weights) {
    return average(samples.data(), samples.size(), method, weights);
}

std::pair<double, double> average(const std::vector<double> &samples,
                                  const std::string &method,
                                  const std::vector<double> *weights,
                                  double sample_sum) {
    return average(samples.data(), samples.size(), method, weights, sample_sum);
}

}  // namespace tarnwell
