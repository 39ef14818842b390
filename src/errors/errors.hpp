// Error kinds of every operation family, their messages and exception classes.
// Computing code returns one of these as a value; only src/module turns them into exceptions.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace vardex {

// Kinds shared (same fields, same message) by several sets. Fixed texts are
// program-chosen literals, so a plain pointer is enough.
struct ParamsMismatch { std::uint64_t expected; std::uint64_t given; };
struct ParameterOutOfBounds { const char* name; double value; double lower; double upper; };
struct NegativeInput { const char* name; std::uint64_t index; double value; };
struct NonFiniteInput { const char* name; std::uint64_t index; double value; };
struct EmptyInput { const char* name; };
struct NumericalError { const char* context; std::string detail; };
struct InvalidDayOfYear { std::uint64_t index; std::uint64_t value; };
struct TemperatureOutOfRange { std::uint64_t index; double value; double min; double max; };

// MetricsError kinds.
struct MetricsLengthMismatch { std::uint64_t observations; std::uint64_t simulations; };
struct EmptyArrays {};
struct NaNInInput { const char* array_name; std::uint64_t index; };
struct InfinityInInput { const char* array_name; std::uint64_t index; };
struct ZeroVarianceNSE {};
struct ZeroVarianceKGE { const char* component; };
struct ZeroMeanKGE {};

// HydroError kinds.
struct HydroLengthMismatch { std::uint64_t precipitation; std::uint64_t pet; };
struct HydroWrongModel { std::string name; };

// SnowError kinds.
struct SnowLengthMismatch { std::uint64_t precipitation; std::uint64_t temperature; std::uint64_t day_of_year; };
struct SnowWrongModel { std::string name; };

// PetError kinds.
struct PetLengthMismatch { std::uint64_t temperature; std::uint64_t day_of_year; };
struct PetWrongModel { std::string name; };
struct LatitudeOutOfRange { double value; double min; double max; };

using MetricsError = std::variant<MetricsLengthMismatch, EmptyArrays, NaNInInput, InfinityInInput,
                                  ZeroVarianceNSE, ZeroVarianceKGE, ZeroMeanKGE, NumericalError>;
using HydroError = std::variant<HydroLengthMismatch, ParamsMismatch, HydroWrongModel, ParameterOutOfBounds,
                                NegativeInput, NonFiniteInput, EmptyInput, NumericalError>;
using SnowError = std::variant<SnowLengthMismatch, ParamsMismatch, SnowWrongModel, ParameterOutOfBounds,
                               NegativeInput, NonFiniteInput, EmptyInput, InvalidDayOfYear,
                               TemperatureOutOfRange, NumericalError>;
using PetError = std::variant<PetLengthMismatch, PetWrongModel, NonFiniteInput, EmptyInput, InvalidDayOfYear,
                              TemperatureOutOfRange, LatitudeOutOfRange, NumericalError>;

// CalibrationError kinds.
struct CalibLengthMismatch {
    std::uint64_t precipitation; std::uint64_t temperature; std::uint64_t pet; std::uint64_t day_of_year;
};
struct MissingSnowParams {};
struct NoObservations {};
struct InvalidParameter { std::string text; };
struct MetricsFailure { MetricsError error; };
struct HydroFailure { HydroError error; };
struct SnowFailure { SnowError error; };

using CalibrationError = std::variant<CalibLengthMismatch, ParamsMismatch, MissingSnowParams, NoObservations,
                                      InvalidParameter, MetricsFailure, HydroFailure, SnowFailure>;

// Python exception class a kind maps to.
enum class ErrorClass { Validation, Numerical, Value };

std::string message(const MetricsError& e);
std::string message(const HydroError& e);
std::string message(const SnowError& e);
std::string message(const PetError& e);
std::string message(const CalibrationError& e);

ErrorClass error_class(const MetricsError& e);
ErrorClass error_class(const HydroError& e);
ErrorClass error_class(const SnowError& e);
ErrorClass error_class(const PetError& e);
inline ErrorClass error_class(const CalibrationError&) { return ErrorClass::Value; }

// Detail text of a result scan: "non-finite value {} at index {}".
std::string non_finite_detail(double value, std::uint64_t index);

}  // namespace vardex
