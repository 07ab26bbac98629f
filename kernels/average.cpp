#include "kernels/average.hpp"

#include <cctype>
#include <cmath>
#include <cstddef>
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

double weighted_mean(const std::vector<double> &samples, const std::vector<double> &weights) {
    const double weight_sum = vector_sum(weights);
    if (weight_sum == 0.0) {
        return 0.0;
    }
    double products = 0.0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        products += weights[i] * samples[i];
    }
    return products / weight_sum;
}

// n / sum(1 / x) over the non-zero samples; n still counts the zeros.
double harmonic_mean(const std::vector<double> &samples) {
    double reciprocals = 0.0;
    for (const double x : samples) {
        if (x != 0.0) {
            reciprocals += 1.0 / x;
        }
    }
    return reciprocals == 0.0 ? 0.0 : static_cast<double>(samples.size()) / reciprocals;
}

double geometric_mean(const std::vector<double> &samples) {
    double logs = 0.0;
    for (const double x : samples) {
        if (x <= 0.0) {
            throw std::invalid_argument("geometric mean is only defined for positive values");
        }
        logs += std::log(x);
    }
    return std::exp(logs / static_cast<double>(samples.size()));
}

std::pair<double, double> average_of(const std::vector<double> &samples,
                                     const std::string &method,
                                     const std::vector<double> *weights,
                                     const double *sample_sum) {
    if (samples.empty()) {
        return {0.0, 0.0};
    }
    const double n = static_cast<double>(samples.size());
    const std::string name = lower_ascii(method);

    double mean;
    if (name == "weighted" && weights != nullptr && weights->size() == samples.size()) {
        mean = weighted_mean(samples, *weights);
    } else if (name == "harmonic") {
        mean = harmonic_mean(samples);
    } else if (name == "geometric") {
        mean = geometric_mean(samples);
    } else {
        mean = (sample_sum != nullptr ? *sample_sum : vector_sum(samples)) / n;
    }

    double squares = 0.0;
    for (const double x : samples) {
        const double d = x - mean;
        squares += d * d;
    }
    const double variance = squares / n;
    return {mean, std::sqrt(variance / n)};
}

}  // namespace

double vector_sum(const std::vector<double> &samples) {
    double sum = 0.0;
    for (const double x : samples) {
        sum += x;
    }
    return sum;
}

std::pair<double, double> average(const std::vector<double> &samples,
                                  const std::string &method,
                                  const std::vector<double> *weights) {
    return average_of(samples, method, weights, nullptr);
}

std::pair<double, double> average(const std::vector<double> &samples,
                                  const std::string &method,
                                  const std::vector<double> *weights,
                                  double sample_sum) {
    return average_of(samples, method, weights, &sample_sum);
}

}  // namespace tarnwell
