// The table of all rainfall-runoff models and the shared simulate path built on it.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "errors/errors.hpp"
#include "hydro/model.hpp"

namespace vardex::hydro {

// Every model, in the order of the Python `hydro` module.
std::span<const ModelSpec* const> models();

// Exact, case-sensitive lookup; nullptr when there is no such model.
const ModelSpec* find_model(std::string_view name);

// Midpoints of the bounds, (lower + upper) * 0.5.
std::vector<double> defaults(const ModelSpec& m);

// The checks of simulate, in their fixed order; the first failing one. The parameter checks come first,
// then those of the series, which callers running many parameter sets on one forcing may do once.
std::optional<HydroError> check_inputs(const ModelSpec& m, std::span<const double> params,
                                       std::span<const double> precipitation, std::span<const double> pet);
std::optional<HydroError> check_params(const ModelSpec& m, std::span<const double> params);
std::optional<HydroError> check_series(std::span<const double> precipitation, std::span<const double> pet);

// The run of a model on inputs that passed check_inputs, into q (as long as precipitation, overlapping no
// input), then the result scan.
std::optional<HydroError> run_into(const ModelSpec& m, std::span<const double> params,
                                   std::span<const double> precipitation, std::span<const double> pet,
                                   std::span<double> q);

// run_into with `watch` (its q set here to q): the run stops where the watch says, and the result scan
// covers the days that ran (none when the watch failed).
std::optional<HydroError> watch_into(const ModelSpec& m, std::span<const double> params,
                                     std::span<const double> precipitation, std::span<const double> pet,
                                     std::span<double> q, Watch& watch);

// simulate writing the streamflow into q, which must be as long as precipitation and overlap no input.
// On failure q holds no meaningful values.
std::optional<HydroError> simulate_into(const ModelSpec& m, std::span<const double> params,
                                        std::span<const double> precipitation, std::span<const double> pet,
                                        std::span<double> q);

// Checks in their fixed order, the run, then the result scan.
std::expected<std::vector<double>, HydroError> simulate(const ModelSpec& m, std::span<const double> params,
                                                        std::span<const double> precipitation,
                                                        std::span<const double> pet);

// The streamflow, the stores at the end of every day (state k of day t at states[k * q.size() + t]),
// the stores before the first day and the daily fluxes (flux k of day t at fluxes[k * q.size() + t]).
struct Recording {
    std::vector<double> q;
    std::vector<double> states;
    std::vector<double> initial;
    std::vector<double> fluxes;
};

// simulate's checks, errors and streamflow, with the stores (and fluxes) recorded on the way.
std::expected<Recording, HydroError> record_states(const ModelSpec& m, std::span<const double> params,
                                                   std::span<const double> precipitation,
                                                   std::span<const double> pet);

// record_states, and then every flux and store must be finite: water that overflowed before it
// reached the outlet (where simulate's clamp turns it into no flow) cannot be accounted for, so
// fluxes or a balance over it are an error rather than non-finite totals.
std::expected<Recording, HydroError> record_fluxes(const ModelSpec& m, std::span<const double> params,
                                                   std::span<const double> precipitation,
                                                   std::span<const double> pet);

// Totals over a recorded run (mm), in this order: "precipitation", "actual_evaporation", "streamflow",
// the model's boundary fluxes in table order, "storage_change" (end minus start of every store), then
// "residual" = precipitation + boundary - actual_evaporation - streamflow - storage_change, over the days
// from `first` (0: the whole run; the stores' change from the start of that day). Sums run in day order. A NumericalError when a total is not finite, or when the residual is larger than rounding
// can explain (inputs so extreme that the model's arithmetic lost water): such totals are no balance.
struct BalanceTerm {
    const char* name;
    double total;
};
std::expected<std::vector<BalanceTerm>, HydroError> water_balance(const ModelSpec& m, const Recording& r,
                                                                 std::span<const double> precipitation,
                                                                 std::size_t first = 0);

}  // namespace vardex::hydro
