#include "errors/errors.hpp"

#include "errors/format.hpp"

namespace vardex {
namespace {

template <class... Fs>
struct overloaded : Fs... { using Fs::operator()...; };

using std::string;
const auto F = format_f64;
const auto U = format_u64;

string render(const ParamsMismatch& e) { return "expected " + U(e.expected) + " params, got " + U(e.given); }
string render(const ParameterOutOfBounds& e) {
    return "Parameter '" + string(e.name) + "' value " + F(e.value) + " outside bounds [" + F(e.lower) + ", " +
           F(e.upper) + "]";
}
string render(const NegativeInput& e) {
    return "Negative value in " + string(e.name) + " at index " + U(e.index) + ": " + F(e.value);
}
string render(const NonFiniteInput& e) {
    return "Non-finite value in " + string(e.name) + " at index " + U(e.index) + ": " + F(e.value);
}
string render(const EmptyInput& e) { return "Empty input array: " + string(e.name); }
string render(const NumericalError& e) { return "Numerical error in " + string(e.context) + ": " + e.detail; }
string render(const InvalidDayOfYear& e) {
    return "Day of year " + U(e.value) + " at index " + U(e.index) + " outside valid range [1, 366]";
}
string render(const TemperatureOutOfRange& e) {
    return "Temperature " + F(e.value) + " at index " + U(e.index) + " outside physical range [" + F(e.min) + ", " +
           F(e.max) + "]";
}

string render(const MetricsLengthMismatch& e) {
    return "observations and simulations must have the same length (got " + U(e.observations) + " and " +
           U(e.simulations) + ")";
}
string render(const EmptyArrays&) { return "Empty input arrays"; }
string render(const NaNInInput& e) { return "NaN found in " + string(e.array_name) + " at index " + U(e.index); }
string render(const InfinityInInput& e) {
    return "Infinity found in " + string(e.array_name) + " at index " + U(e.index);
}
string render(const ZeroVarianceNSE&) {
    return "Zero variance in observations - NSE undefined for constant observations";
}
string render(const ZeroVarianceKGE& e) { return "Zero variance in " + string(e.component) + " - KGE undefined"; }
string render(const ZeroMeanKGE&) { return "Zero mean in observations - KGE beta component undefined"; }

string render(const HydroLengthMismatch& e) {
    return "precipitation and pet must have the same length (got " + U(e.precipitation) + " and " + U(e.pet) + ")";
}
string render(const HydroWrongModel& e) { return "Unknown hydro model '" + e.name + "'"; }

string render(const SnowLengthMismatch& e) {
    return "precipitation, temperature and day_of_year must have the same length (got " + U(e.precipitation) +
           ", " + U(e.temperature) + " and " + U(e.day_of_year) + ")";
}
string render(const SnowWrongModel& e) { return "Unknown snow model '" + e.name + "'"; }

string render(const PetLengthMismatch& e) {
    return "temperature and day_of_year must have the same length (got " + U(e.temperature) + " and " +
           U(e.day_of_year) + ")";
}
string render(const PetWrongModel& e) { return "Unknown PET model '" + e.name + "'"; }
string render(const LatitudeOutOfRange& e) {
    return "Latitude " + F(e.value) + " outside valid range [" + F(e.min) + ", " + F(e.max) + "]";
}

string render(const CalibLengthMismatch& e) {
    return "precipitation, temperature, pet and day_of_year must have the same length (got " + U(e.precipitation) +
           ", " + U(e.temperature) + ", " + U(e.pet) + " and " + U(e.day_of_year) + ")";
}
string render(const MissingSnowParams&) {
    return "snow model requires temperature, day_of_year, elevation_bands, and median_elevation";
}
string render(const NoObservations&) {
    return "no streamflow observations available in the calibration window (every timestep after warmup is "
           "missing)";
}
string render(const InvalidParameter& e) { return "invalid algorithm parameter: " + e.text; }
string render(const MetricsFailure& e) { return message(e.error); }
string render(const HydroFailure& e) { return message(e.error); }
string render(const SnowFailure& e) { return message(e.error); }

template <class V>
string render_any(const V& v) {
    return std::visit([](const auto& k) { return render(k); }, v);
}

// Only NumericalError is numerical in the model, snow and PET sets.
template <class V>
ErrorClass numerical_if_numerical_error(const V& v) {
    return std::holds_alternative<NumericalError>(v) ? ErrorClass::Numerical : ErrorClass::Validation;
}

}  // namespace

string message(const MetricsError& e) { return render_any(e); }
string message(const HydroError& e) { return render_any(e); }
string message(const SnowError& e) { return render_any(e); }
string message(const PetError& e) { return render_any(e); }
string message(const CalibrationError& e) { return render_any(e); }

ErrorClass error_class(const MetricsError& e) {
    return std::visit(overloaded{
                          [](const ZeroVarianceNSE&) { return ErrorClass::Numerical; },
                          [](const ZeroVarianceKGE&) { return ErrorClass::Numerical; },
                          [](const ZeroMeanKGE&) { return ErrorClass::Numerical; },
                          [](const NumericalError&) { return ErrorClass::Numerical; },
                          [](const auto&) { return ErrorClass::Validation; },
                      },
                      e);
}
ErrorClass error_class(const HydroError& e) { return numerical_if_numerical_error(e); }
ErrorClass error_class(const SnowError& e) { return numerical_if_numerical_error(e); }
ErrorClass error_class(const PetError& e) { return numerical_if_numerical_error(e); }

string non_finite_detail(double value, std::uint64_t index) {
    return "non-finite value " + F(value) + " at index " + U(index);
}

}  // namespace vardex
