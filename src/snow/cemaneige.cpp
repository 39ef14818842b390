#include "snow/cemaneige.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace vardex::snow {
namespace {

// Temperature gradient (degC per 100 m) for days 1..365; day 366 reuses day 1.
constexpr std::array<double, 365> gradient_table{{
    -0.376, -0.374, -0.371, -0.368, -0.366, -0.363, -0.361, -0.358, -0.355, -0.353,  // 1-10
    -0.350, -0.348, -0.345, -0.343, -0.340, -0.337, -0.335, -0.332, -0.329, -0.327,  // 11-20
    -0.324, -0.321, -0.319, -0.316, -0.313, -0.311, -0.308, -0.305, -0.303, -0.300,  // 21-30
    -0.297, -0.295, -0.292, -0.289, -0.287, -0.284, -0.281, -0.279, -0.276, -0.273,  // 31-40
    -0.271, -0.268, -0.265, -0.263, -0.260, -0.262, -0.264, -0.266, -0.268, -0.270,  // 41-50
    -0.272, -0.274, -0.277, -0.279, -0.281, -0.283, -0.285, -0.287, -0.289, -0.291,  // 51-60
    -0.293, -0.295, -0.297, -0.299, -0.301, -0.303, -0.306, -0.308, -0.310, -0.312,  // 61-70
    -0.314, -0.316, -0.318, -0.320, -0.323, -0.326, -0.330, -0.333, -0.336, -0.339,  // 71-80
    -0.343, -0.346, -0.349, -0.352, -0.355, -0.359, -0.362, -0.365, -0.368, -0.372,  // 81-90
    -0.375, -0.378, -0.381, -0.385, -0.388, -0.391, -0.394, -0.397, -0.401, -0.404,  // 91-100
    -0.407, -0.410, -0.414, -0.417, -0.420, -0.420, -0.421, -0.421, -0.421, -0.422,  // 101-110
    -0.422, -0.422, -0.423, -0.423, -0.423, -0.424, -0.424, -0.424, -0.425, -0.425,  // 111-120
    -0.425, -0.426, -0.426, -0.426, -0.427, -0.427, -0.427, -0.428, -0.428, -0.428,  // 121-130
    -0.429, -0.429, -0.429, -0.430, -0.430, -0.428, -0.425, -0.423, -0.421, -0.419,  // 131-140
    -0.416, -0.414, -0.412, -0.410, -0.407, -0.405, -0.403, -0.401, -0.398, -0.396,  // 141-150
    -0.394, -0.392, -0.389, -0.387, -0.385, -0.383, -0.380, -0.378, -0.376, -0.374,  // 151-160
    -0.371, -0.369, -0.367, -0.365, -0.362, -0.360, -0.362, -0.365, -0.367, -0.369,  // 161-170
    -0.372, -0.374, -0.376, -0.379, -0.381, -0.383, -0.386, -0.388, -0.390, -0.393,  // 171-180
    -0.395, -0.397, -0.400, -0.402, -0.404, -0.407, -0.409, -0.411, -0.414, -0.416,  // 181-190
    -0.418, -0.421, -0.423, -0.425, -0.428, -0.430, -0.431, -0.431, -0.432, -0.433,  // 191-200
    -0.433, -0.434, -0.435, -0.435, -0.436, -0.436, -0.437, -0.438, -0.438, -0.439,  // 201-210
    -0.440, -0.440, -0.441, -0.442, -0.442, -0.443, -0.444, -0.444, -0.445, -0.445,  // 211-220
    -0.446, -0.447, -0.447, -0.448, -0.449, -0.449, -0.450, -0.448, -0.447, -0.445,  // 221-230
    -0.444, -0.442, -0.440, -0.439, -0.437, -0.435, -0.434, -0.432, -0.431, -0.429,  // 231-240
    -0.427, -0.426, -0.424, -0.423, -0.421, -0.419, -0.418, -0.416, -0.415, -0.413,  // 241-250
    -0.411, -0.410, -0.408, -0.406, -0.405, -0.403, -0.402, -0.400, -0.403, -0.405,  // 251-260
    -0.408, -0.411, -0.413, -0.416, -0.419, -0.421, -0.424, -0.427, -0.429, -0.432,  // 261-270
    -0.435, -0.437, -0.440, -0.443, -0.445, -0.448, -0.451, -0.453, -0.456, -0.459,  // 271-280
    -0.461, -0.464, -0.467, -0.469, -0.472, -0.475, -0.477, -0.480, -0.482, -0.483,  // 281-290
    -0.485, -0.486, -0.488, -0.490, -0.491, -0.493, -0.495, -0.496, -0.498, -0.499,  // 291-300
    -0.501, -0.503, -0.504, -0.506, -0.507, -0.509, -0.511, -0.512, -0.514, -0.515,  // 301-310
    -0.517, -0.519, -0.520, -0.522, -0.524, -0.525, -0.527, -0.528, -0.530, -0.526,  // 311-320
    -0.523, -0.519, -0.515, -0.512, -0.508, -0.504, -0.501, -0.497, -0.493, -0.490,  // 321-330
    -0.486, -0.482, -0.479, -0.475, -0.471, -0.468, -0.464, -0.460, -0.457, -0.453,  // 331-340
    -0.449, -0.446, -0.442, -0.438, -0.435, -0.431, -0.427, -0.424, -0.420, -0.417,  // 341-350
    -0.415, -0.412, -0.410, -0.407, -0.405, -0.402, -0.399, -0.397, -0.394, -0.392,  // 351-360
    -0.389, -0.386, -0.384, -0.381, -0.379,  // 361-365
}};

constexpr double elevation_unit = 100.0;      // m per gradient unit
constexpr double precip_gradient = 0.0;       // per m: every finite layer weighs 1
constexpr double weight_sum_floor = 1e-10;
constexpr double snow_temperature = -1.0;     // all solid below
constexpr double rain_temperature = 3.0;      // all liquid above
constexpr double melt_temperature = 0.0;
constexpr double threshold_factor = 0.9;
constexpr double min_melt_speed = 0.1;
constexpr double max_abs_temperature = 100.0;

// Minimum of two values where a NaN operand is ignored.
inline double min_ignoring_nan(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b < a ? b : a;
}

}  // namespace

namespace {

std::optional<SnowError> check_params(std::span<const double> params) {
    if (auto e = check_param_count(cemaneige_params.size(), params)) return *e;
    if (auto e = check_bounds(params, cemaneige_params)) return *e;
    return std::nullopt;
}

std::optional<SnowError> check_series(std::span<const double> precipitation, std::span<const double> temperature,
                                      std::span<const std::uint64_t> day_of_year,
                                      std::span<const double> elevation_layers) {
    const std::size_t len = precipitation.size();
    if (len != temperature.size() || len != day_of_year.size())
        return SnowLengthMismatch{len, temperature.size(), day_of_year.size()};

    if (precipitation.empty()) return EmptyInput{"precipitation"};
    if (auto e = scan_non_finite(precipitation, "precipitation")) return *e;
    if (auto e = scan_negative(precipitation, "precipitation")) return *e;

    if (temperature.empty()) return EmptyInput{"temperature"};
    if (auto e = scan_non_finite(temperature, "temperature")) return *e;
    for (std::size_t i = 0; i < len; ++i) {
        const double t = temperature[i];
        if (std::fabs(t) > max_abs_temperature)
            return TemperatureOutOfRange{i, t, -max_abs_temperature, max_abs_temperature};
    }

    if (day_of_year.empty()) return EmptyInput{"day_of_year"};
    for (std::size_t i = 0; i < len; ++i) {
        const std::uint64_t d = day_of_year[i];
        if (d == 0 || d > 366) return InvalidDayOfYear{i, d};
    }

    if (elevation_layers.empty()) return EmptyInput{"elevation_layers"};
    if (auto e = scan_non_finite(elevation_layers, "elevation_layers")) return *e;
    return std::nullopt;
}

std::optional<SnowError> check_inputs(std::span<const double> params, std::span<const double> precipitation,
                                      std::span<const double> temperature,
                                      std::span<const std::uint64_t> day_of_year,
                                      std::span<const double> elevation_layers) {
    if (auto e = check_params(params)) return e;
    return check_series(precipitation, temperature, day_of_year, elevation_layers);
}

// No-op for simulate; the recording run keeps the packs (columns 0..n-1) and the thermal
// states (columns n..2n-1) of every day, and the fluxes of layer j: liquid precipitation
// (column j), solid precipitation (n + j), melt (2n + j) and outflow, liquid plus melt (3n + j).
struct NoSnowRecorder {
    void operator()(std::size_t, const std::vector<double>&, const std::vector<double>&) const {}
    void precipitation(std::size_t, std::size_t, double, double) const {}
    void melt(std::size_t, std::size_t, double) const {}
};
struct SnowRecorder {
    double* out;
    double* fluxes;
    std::size_t days, n;
    void operator()(std::size_t t, const std::vector<double>& pack, const std::vector<double>& thermal) const {
        for (std::size_t j = 0; j < n; ++j) out[j * days + t] = pack[j];
        for (std::size_t j = 0; j < n; ++j) out[(n + j) * days + t] = thermal[j];
    }
    void precipitation(std::size_t t, std::size_t j, double liquid, double solid) const {
        fluxes[j * days + t] = liquid;
        fluxes[(n + j) * days + t] = solid;
    }
    void melt(std::size_t t, std::size_t j, double melt) const {
        fluxes[(2 * n + j) * days + t] = melt;
        fluxes[(3 * n + j) * days + t] = fluxes[j * days + t] + melt;
    }
};

// Inputs have passed check_inputs; `out` is zero-initialised and as long as the series.
template <class Rec>
std::optional<SnowError> run(std::span<const double> params, std::span<const double> precipitation,
                             std::span<const double> temperature, std::span<const std::uint64_t> day_of_year,
                             std::span<const double> elevation_layers, double median_elevation,
                             std::span<double> out, const Rec& record) {
    CemaNeigeDays days;
    if (auto e = days.start(params, precipitation, temperature, day_of_year, elevation_layers, median_elevation, out))
        return e;
    days.advance(0, precipitation.size(), record);
    if (auto e = scan_result(out, "CemaNeige simulation")) return std::move(*e);
    return std::nullopt;
}

}  // namespace

std::optional<SnowError> CemaNeigeDays::start(std::span<const double> params, std::span<const double> precipitation,
                                              std::span<const double> temperature,
                                              std::span<const std::uint64_t> day_of_year,
                                              std::span<const double> elevation_layers, double median_elevation,
                                              std::span<double> out) {
    precipitation_ = precipitation;
    temperature_ = temperature;
    day_of_year_ = day_of_year;
    out_ = out;
    ctg_ = params[0];
    kf_ = params[1];
    const double qnbv = params[2];

    const std::size_t n = elevation_layers.size();
    dz_.resize(n);
    w_.resize(n);
    pack.assign(n, 0.0);
    thermal.assign(n, 0.0);
    for (std::size_t j = 0; j < n; ++j) dz_[j] = (elevation_layers[j] - median_elevation) / elevation_unit;
    for (std::size_t j = 0; j < n; ++j) w_[j] = std::exp((elevation_layers[j] - median_elevation) * precip_gradient);
    weight_sum_ = 0.0;
    for (std::size_t j = 0; j < n; ++j) weight_sum_ = weight_sum_ + w_[j];
    // A NaN sum is let through; it surfaces in the result scan.
    if (std::fabs(weight_sum_) < weight_sum_floor)
        return NumericalError{"CemaNeige precipitation normalization", "sum of precipitation weights is zero"};
    pack_threshold_ = qnbv * threshold_factor;
    return std::nullopt;
}

template <class Rec>
void CemaNeigeDays::advance(std::size_t first, std::size_t last, const Rec& record) {
    // Members in locals: the stores into the layers' doubles below could otherwise alias them.
    const std::size_t n = pack.size();
    const double ctg = ctg_, kf = kf_, weight_sum = weight_sum_, pack_threshold = pack_threshold_;
    const double* dz = dz_.data();
    const double* w = w_.data();
    double* packs = pack.data();
    double* thermals = thermal.data();
    const double* precipitation = precipitation_.data();
    const double* temperature = temperature_.data();
    const std::uint64_t* day_of_year = day_of_year_.data();
    double* out = out_.data();
    for (std::size_t t = first; t < last; ++t) {
        const double p = precipitation[t];
        const double air = temperature[t];
        const double theta = gradient_table[(day_of_year[t] - 1) % 365];

        // A layer's melt needs only its own accumulation, so each layer is done whole in turn; the two
        // sums still take the layers in order.
        double liquid = 0.0;
        double melt = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const double tj = dz[j] * theta + air;
            double solid;
            if (tj > rain_temperature) solid = 0.0;
            else if (tj < snow_temperature) solid = 1.0;
            else solid = (tj + 1.0) * (-0.25) + 1.0;
            const double pj = (w[j] * p) / weight_sum;
            const double snowfall = solid * pj;
            double packed = packs[j] + snowfall;
            // Smoothed layer temperature, never above 0; NaN is stored as 0.
            const double x = tj * (1.0 - ctg) + thermals[j] * ctg;
            const double smoothed = x < 0.0 ? x : 0.0;
            thermals[j] = smoothed;
            liquid = liquid + (pj - snowfall);
            record.precipitation(t, j, pj - snowfall, snowfall);

            // No melt on a cold day: the potential is +0, the ratio below is in [0, 1], so the melt would be +0
            // and leave the pack and the sum as they are (the sum is never -0). The branch follows the
            // seasons and takes the division off most winter days.
            double actual = 0.0;
            if (tj > melt_temperature && smoothed >= melt_temperature) {
                const double potential = min_ignoring_nan(packed, (tj - melt_temperature) * kf);
                double ratio = 1.0;
                if (pack_threshold > 0.0) ratio = min_ignoring_nan(packed / pack_threshold, 1.0);
                actual = potential * (ratio * (1.0 - min_melt_speed) + min_melt_speed);
                packed = packed - actual;
                melt = melt + actual;
            }
            packs[j] = packed;
            record.melt(t, j, actual);
        }
        out[t] = liquid + melt;
        record(t, pack, thermal);
    }
}

bool CemaNeigeDays::days(std::size_t first, std::size_t last) {
    advance(first, last, NoSnowRecorder{});
    // Without short-circuits, so that the loop has no branch.
    bool usable = true;
    for (std::size_t t = first; t < last; ++t) usable = usable & is_finite(out_[t]) & !(out_[t] < 0.0);
    return usable;
}

namespace {

// The checks, then the run; the states are recorded only when asked for.
template <bool Record>
std::expected<SnowRecording, SnowError> checked_run(std::span<const double> params,
                                                    std::span<const double> precipitation,
                                                    std::span<const double> temperature,
                                                    std::span<const std::uint64_t> day_of_year,
                                                    std::span<const double> elevation_layers,
                                                    double median_elevation) {
    if (auto e = check_inputs(params, precipitation, temperature, day_of_year, elevation_layers))
        return std::unexpected(std::move(*e));
    const std::size_t days = precipitation.size();
    SnowRecording rec{std::vector<double>(days, 0.0),
                      std::vector<double>(Record ? 2 * elevation_layers.size() * days : 0, 0.0),
                      std::vector<double>(Record ? 4 * elevation_layers.size() * days : 0, 0.0)};
    std::optional<SnowError> e;
    if constexpr (Record)
        e = run(params, precipitation, temperature, day_of_year, elevation_layers, median_elevation, rec.liquid,
                SnowRecorder{rec.states.data(), rec.fluxes.data(), days, elevation_layers.size()});
    else
        e = run(params, precipitation, temperature, day_of_year, elevation_layers, median_elevation, rec.liquid,
                NoSnowRecorder{});
    if (e) return std::unexpected(std::move(*e));
    return rec;
}

}  // namespace

std::optional<SnowError> cemaneige_check(std::span<const double> params, std::span<const double> precipitation,
                                         std::span<const double> temperature,
                                         std::span<const std::uint64_t> day_of_year,
                                         std::span<const double> elevation_layers) {
    return check_inputs(params, precipitation, temperature, day_of_year, elevation_layers);
}

std::optional<SnowError> cemaneige_check_params(std::span<const double> params) { return check_params(params); }

std::optional<SnowError> cemaneige_check_series(std::span<const double> precipitation,
                                                std::span<const double> temperature,
                                                std::span<const std::uint64_t> day_of_year,
                                                std::span<const double> elevation_layers) {
    return check_series(precipitation, temperature, day_of_year, elevation_layers);
}

std::optional<SnowError> cemaneige_run_into(std::span<const double> params, std::span<const double> precipitation,
                                            std::span<const double> temperature,
                                            std::span<const std::uint64_t> day_of_year,
                                            std::span<const double> elevation_layers, double median_elevation,
                                            std::span<double> out) {
    std::fill(out.begin(), out.end(), 0.0);  // the run starts from zeros
    return run(params, precipitation, temperature, day_of_year, elevation_layers, median_elevation, out,
               NoSnowRecorder{});
}

std::optional<SnowError> cemaneige_into(std::span<const double> params, std::span<const double> precipitation,
                                        std::span<const double> temperature,
                                        std::span<const std::uint64_t> day_of_year,
                                        std::span<const double> elevation_layers, double median_elevation,
                                        std::span<double> out) {
    if (auto e = check_inputs(params, precipitation, temperature, day_of_year, elevation_layers)) return e;
    return cemaneige_run_into(params, precipitation, temperature, day_of_year, elevation_layers, median_elevation,
                              out);
}

std::expected<std::vector<double>, SnowError> cemaneige(std::span<const double> params,
                                                        std::span<const double> precipitation,
                                                        std::span<const double> temperature,
                                                        std::span<const std::uint64_t> day_of_year,
                                                        std::span<const double> elevation_layers,
                                                        double median_elevation) {
    auto rec = checked_run<false>(params, precipitation, temperature, day_of_year, elevation_layers,
                                  median_elevation);
    if (!rec) return std::unexpected(std::move(rec.error()));
    return std::move(rec->liquid);
}

std::expected<SnowRecording, SnowError> cemaneige_states(std::span<const double> params,
                                                         std::span<const double> precipitation,
                                                         std::span<const double> temperature,
                                                         std::span<const std::uint64_t> day_of_year,
                                                         std::span<const double> elevation_layers,
                                                         double median_elevation) {
    return checked_run<true>(params, precipitation, temperature, day_of_year, elevation_layers, median_elevation);
}

}  // namespace vardex::snow
