// CemaNeige degree-day snow model over elevation layers.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "errors/checks.hpp"
#include "errors/errors.hpp"

namespace vardex::snow {

// ctg, kf, qnbv. The snow model has no descriptions.
inline constexpr std::array<ParamSpec, 3> cemaneige_params{{
    {"ctg", "", "", 0.0, 1.0},
    {"kf", "", "", 0.0, 20.0},
    {"qnbv", "", "", 0.0, 2000.0},
}};
inline constexpr std::array<double, 3> cemaneige_defaults{0.25, 3.74, 350.0};

// Liquid water (rain plus melt) per day, or the first failing check.
std::expected<std::vector<double>, SnowError> cemaneige(std::span<const double> params,
                                                        std::span<const double> precipitation,
                                                        std::span<const double> temperature,
                                                        std::span<const std::uint64_t> day_of_year,
                                                        std::span<const double> elevation_layers,
                                                        double median_elevation);

// cemaneige's checks, in their fixed order; the first failing one.
std::optional<SnowError> cemaneige_check(std::span<const double> params, std::span<const double> precipitation,
                                         std::span<const double> temperature,
                                         std::span<const std::uint64_t> day_of_year,
                                         std::span<const double> elevation_layers);

// cemaneige writing the liquid water into out, as long as precipitation and overlapping no input.
std::optional<SnowError> cemaneige_into(std::span<const double> params, std::span<const double> precipitation,
                                        std::span<const double> temperature,
                                        std::span<const std::uint64_t> day_of_year,
                                        std::span<const double> elevation_layers, double median_elevation,
                                        std::span<double> out);

// CemaNeige a stretch of days at a time, for a caller that may stop before the last day: start, then days (or
// advance) over consecutive stretches from day 0, each day's out[t] exactly as the whole run writes it (the run
// is built on it). Reusable: start sizes its buffers.
class CemaNeigeDays {
public:
    // On inputs that passed the checks, `out` as long as the series: the error the run reports before its
    // first day, if any.
    std::optional<SnowError> start(std::span<const double> params, std::span<const double> precipitation,
                                   std::span<const double> temperature, std::span<const std::uint64_t> day_of_year,
                                   std::span<const double> elevation_layers, double median_elevation,
                                   std::span<double> out);
    // Writes out[first] ... out[last - 1]; false when one is not finite (the run's result scan fails there) or
    // negative.
    bool days(std::size_t first, std::size_t last);
    // Writes out[first] ... out[last - 1], telling `record` the layers' fluxes and states (the recorders of the
    // .cpp).
    template <class Rec>
    void advance(std::size_t first, std::size_t last, const Rec& record);

    std::vector<double> pack, thermal;  // of each layer, after the last day written

private:
    std::span<const double> precipitation_, temperature_;
    std::span<const std::uint64_t> day_of_year_;
    std::span<double> out_;
    double ctg_ = 0.0, kf_ = 0.0, weight_sum_ = 0.0, pack_threshold_ = 0.0;
    std::vector<double> dz_, w_;
};

// The two halves of cemaneige_check (parameters first), and the run on inputs that passed both.
std::optional<SnowError> cemaneige_check_params(std::span<const double> params);
std::optional<SnowError> cemaneige_check_series(std::span<const double> precipitation,
                                                std::span<const double> temperature,
                                                std::span<const std::uint64_t> day_of_year,
                                                std::span<const double> elevation_layers);
std::optional<SnowError> cemaneige_run_into(std::span<const double> params, std::span<const double> precipitation,
                                            std::span<const double> temperature,
                                            std::span<const std::uint64_t> day_of_year,
                                            std::span<const double> elevation_layers, double median_elevation,
                                            std::span<double> out);

// The liquid water and, for every day, the snow pack G_j of each layer (columns 0..n-1,
// mm) then its thermal state e_j (columns n..2n-1, degC): column c of day t at
// states[c * liquid.size() + t]. `fluxes` (mm/day, same layout) holds per layer j the liquid
// precipitation (column j), the solid precipitation (n + j), the melt (2n + j) and the
// outflow, liquid plus melt (3n + j).
struct SnowRecording {
    std::vector<double> liquid;
    std::vector<double> states;
    std::vector<double> fluxes;
};

// cemaneige's checks, errors and output, with the per-layer states and fluxes recorded on the way.
std::expected<SnowRecording, SnowError> cemaneige_states(std::span<const double> params,
                                                         std::span<const double> precipitation,
                                                         std::span<const double> temperature,
                                                         std::span<const std::uint64_t> day_of_year,
                                                         std::span<const double> elevation_layers,
                                                         double median_elevation);

}  // namespace vardex::snow
