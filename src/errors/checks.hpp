// Input and result checks shared by the models, the snow and PET functions and the metrics.
// Each returns the first failing kind, or nothing; callers decide the order.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>

#include "errors/errors.hpp"

namespace vardex {

// One parameter of a model: name, descriptions and inclusive bounds.
struct ParamSpec {
    const char* name;
    const char* description;
    const char* description_fr;
    double lower;
    double upper;
};

// Decided on the bit pattern, so it holds whatever the floating-point flags.
inline bool is_finite(double v) {
    return (std::bit_cast<std::uint64_t>(v) & 0x7fffffffffffffffULL) < 0x7ff0000000000000ULL;
}

inline std::optional<ParamsMismatch> check_param_count(std::size_t expected, std::span<const double> params) {
    if (params.size() != expected) return ParamsMismatch{expected, params.size()};
    return std::nullopt;
}

// Requires params.size() == table.size().
inline std::optional<ParameterOutOfBounds> check_bounds(std::span<const double> params,
                                                        std::span<const ParamSpec> table) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        const double v = params[i];
        const ParamSpec& p = table[i];
        if (!is_finite(v) || v < p.lower || v > p.upper) return ParameterOutOfBounds{p.name, v, p.lower, p.upper};
    }
    return std::nullopt;
}

inline std::optional<NonFiniteInput> scan_non_finite(std::span<const double> xs, const char* name) {
    for (std::size_t i = 0; i < xs.size(); ++i)
        if (!is_finite(xs[i])) return NonFiniteInput{name, i, xs[i]};
    return std::nullopt;
}

// -0.0 and NaN pass.
inline std::optional<NegativeInput> scan_negative(std::span<const double> xs, const char* name) {
    for (std::size_t i = 0; i < xs.size(); ++i)
        if (xs[i] < 0.0) return NegativeInput{name, i, xs[i]};
    return std::nullopt;
}

inline std::optional<NumericalError> scan_result(std::span<const double> xs, const char* context) {
    for (std::size_t i = 0; i < xs.size(); ++i)
        if (!is_finite(xs[i])) return NumericalError{context, non_finite_detail(xs[i], i)};
    return std::nullopt;
}

}  // namespace vardex
