#include "pet/oudin.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "errors/checks.hpp"

namespace vardex::pet {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double solar_constant = 0.082;         // MJ m-2 min-1
constexpr double minutes_factor = 458.3662361046586;  // 24 * 60 / pi
constexpr double declination_amplitude = 0.409;  // rad
constexpr double declination_rate = 0.01721420632103996;  // 2 pi / 365, per day
constexpr double declination_shift = 1.39;
constexpr double eccentricity = 0.033;
constexpr double max_temperature = 100.0;
constexpr double max_latitude = 90.0;

}  // namespace

std::optional<PetError> oudin_check(std::span<const double> temperature, std::span<const std::uint64_t> day_of_year,
                                    double latitude) {
    const std::size_t len = temperature.size();
    if (len != day_of_year.size()) return PetLengthMismatch{len, day_of_year.size()};
    if (len == 0) return EmptyInput{"temperature"};

    // One scan: the first offending index wins, whichever test it fails.
    for (std::size_t i = 0; i < len; ++i) {
        const double t = temperature[i];
        if (!is_finite(t)) return NonFiniteInput{"temperature", i, t};
        if (std::fabs(t) > max_temperature) return TemperatureOutOfRange{i, t, -max_temperature, max_temperature};
    }
    for (std::size_t i = 0; i < len; ++i) {
        const std::uint64_t d = day_of_year[i];
        if (d == 0 || d > 366) return InvalidDayOfYear{i, d};
    }
    if (!is_finite(latitude) || std::fabs(latitude) > max_latitude)
        return LatitudeOutOfRange{latitude, -max_latitude, max_latitude};
    return std::nullopt;
}

namespace {

// The formula over checked inputs, then the result scan.
std::optional<PetError> compute(std::span<const double> temperature, std::span<const std::uint64_t> day_of_year,
                                double latitude, std::span<double> out) {
    const std::size_t len = temperature.size();

    const double phi = (latitude * pi) / 180.0;
    const double sin_phi = std::sin(phi);
    const double cos_phi = std::cos(phi);
    const double neg_tan_phi = -std::tan(phi);
    const double radiation_factor = solar_constant * minutes_factor;

    // The radiation depends on the day of year only (the latitude is fixed): each distinct day's value is
    // computed once, by the same expression, and looked up after that.
    std::array<double, 367> radiation;
    std::array<bool, 367> known{};
    for (std::size_t t = 0; t < len; ++t) {
        const double temp = temperature[t];
        const std::uint64_t day = day_of_year[t];
        if (!known[day]) {
            const double j = static_cast<double>(day);
            const double delta = declination_amplitude * std::sin(declination_rate * j - declination_shift);
            double x = std::tan(delta) * neg_tan_phi;
            // Clamped so that polar night gives 0 and polar day pi.
            x = std::max(x, -1.0);
            x = std::min(x, 1.0);
            const double omega = std::acos(x);
            const double dr = std::cos(((j + j) * pi) / 365.0) * eccentricity + 1.0;
            const double k = dr * radiation_factor;
            radiation[day] =
                (std::sin(omega) * (cos_phi * std::cos(delta)) + (sin_phi * omega) * std::sin(delta)) * k;
            known[day] = true;
        }
        const double ra = radiation[day];
        const double lambda = temp * (-0.002361) + 2.501;
        double pet = (((temp + 5.0) * (ra / (lambda * 1000.0))) / 100.0) * 1000.0;
        if (!(pet > 0.0)) pet = 0.0;
        out[t] = pet;
    }

    if (auto e = scan_result(out, "Oudin PET")) return std::move(*e);
    return std::nullopt;
}

}  // namespace

std::optional<PetError> oudin_into(std::span<const double> temperature, std::span<const std::uint64_t> day_of_year,
                                   double latitude, std::span<double> out) {
    if (auto e = oudin_check(temperature, day_of_year, latitude)) return e;
    return compute(temperature, day_of_year, latitude, out);
}

std::expected<std::vector<double>, PetError> oudin(std::span<const double> temperature,
                                                   std::span<const std::uint64_t> day_of_year, double latitude) {
    if (auto e = oudin_check(temperature, day_of_year, latitude)) return std::unexpected(std::move(*e));
    std::vector<double> out(temperature.size(), 0.0);
    if (auto e = compute(temperature, day_of_year, latitude, out)) return std::unexpected(std::move(*e));
    return out;
}

}  // namespace vardex::pet
