"""CemaNeige: input checks, snow and melt behaviour, bit-exact agreement with a plain reference."""

import math

import numpy as np
import pytest

import vardex
import vardex_rs
from vardex_rs.snow import cemaneige
from helpers import f64, same_bits, u64

Validation = vardex_rs.VardexValidationError
Numerical = vardex_rs.VardexNumericalError
DEFAULTS = (0.25, 3.74, 350.0)

# Temperature gradient in degC per 100 m for days 1..365.
GRADIENT = [
    -0.376, -0.374, -0.371, -0.368, -0.366, -0.363, -0.361, -0.358, -0.355, -0.353,
    -0.350, -0.348, -0.345, -0.343, -0.340, -0.337, -0.335, -0.332, -0.329, -0.327,
    -0.324, -0.321, -0.319, -0.316, -0.313, -0.311, -0.308, -0.305, -0.303, -0.300,
    -0.297, -0.295, -0.292, -0.289, -0.287, -0.284, -0.281, -0.279, -0.276, -0.273,
    -0.271, -0.268, -0.265, -0.263, -0.260, -0.262, -0.264, -0.266, -0.268, -0.270,
    -0.272, -0.274, -0.277, -0.279, -0.281, -0.283, -0.285, -0.287, -0.289, -0.291,
    -0.293, -0.295, -0.297, -0.299, -0.301, -0.303, -0.306, -0.308, -0.310, -0.312,
    -0.314, -0.316, -0.318, -0.320, -0.323, -0.326, -0.330, -0.333, -0.336, -0.339,
    -0.343, -0.346, -0.349, -0.352, -0.355, -0.359, -0.362, -0.365, -0.368, -0.372,
    -0.375, -0.378, -0.381, -0.385, -0.388, -0.391, -0.394, -0.397, -0.401, -0.404,
    -0.407, -0.410, -0.414, -0.417, -0.420, -0.420, -0.421, -0.421, -0.421, -0.422,
    -0.422, -0.422, -0.423, -0.423, -0.423, -0.424, -0.424, -0.424, -0.425, -0.425,
    -0.425, -0.426, -0.426, -0.426, -0.427, -0.427, -0.427, -0.428, -0.428, -0.428,
    -0.429, -0.429, -0.429, -0.430, -0.430, -0.428, -0.425, -0.423, -0.421, -0.419,
    -0.416, -0.414, -0.412, -0.410, -0.407, -0.405, -0.403, -0.401, -0.398, -0.396,
    -0.394, -0.392, -0.389, -0.387, -0.385, -0.383, -0.380, -0.378, -0.376, -0.374,
    -0.371, -0.369, -0.367, -0.365, -0.362, -0.360, -0.362, -0.365, -0.367, -0.369,
    -0.372, -0.374, -0.376, -0.379, -0.381, -0.383, -0.386, -0.388, -0.390, -0.393,
    -0.395, -0.397, -0.400, -0.402, -0.404, -0.407, -0.409, -0.411, -0.414, -0.416,
    -0.418, -0.421, -0.423, -0.425, -0.428, -0.430, -0.431, -0.431, -0.432, -0.433,
    -0.433, -0.434, -0.435, -0.435, -0.436, -0.436, -0.437, -0.438, -0.438, -0.439,
    -0.440, -0.440, -0.441, -0.442, -0.442, -0.443, -0.444, -0.444, -0.445, -0.445,
    -0.446, -0.447, -0.447, -0.448, -0.449, -0.449, -0.450, -0.448, -0.447, -0.445,
    -0.444, -0.442, -0.440, -0.439, -0.437, -0.435, -0.434, -0.432, -0.431, -0.429,
    -0.427, -0.426, -0.424, -0.423, -0.421, -0.419, -0.418, -0.416, -0.415, -0.413,
    -0.411, -0.410, -0.408, -0.406, -0.405, -0.403, -0.402, -0.400, -0.403, -0.405,
    -0.408, -0.411, -0.413, -0.416, -0.419, -0.421, -0.424, -0.427, -0.429, -0.432,
    -0.435, -0.437, -0.440, -0.443, -0.445, -0.448, -0.451, -0.453, -0.456, -0.459,
    -0.461, -0.464, -0.467, -0.469, -0.472, -0.475, -0.477, -0.480, -0.482, -0.483,
    -0.485, -0.486, -0.488, -0.490, -0.491, -0.493, -0.495, -0.496, -0.498, -0.499,
    -0.501, -0.503, -0.504, -0.506, -0.507, -0.509, -0.511, -0.512, -0.514, -0.515,
    -0.517, -0.519, -0.520, -0.522, -0.524, -0.525, -0.527, -0.528, -0.530, -0.526,
    -0.523, -0.519, -0.515, -0.512, -0.508, -0.504, -0.501, -0.497, -0.493, -0.490,
    -0.486, -0.482, -0.479, -0.475, -0.471, -0.468, -0.464, -0.460, -0.457, -0.453,
    -0.449, -0.446, -0.442, -0.438, -0.435, -0.431, -0.427, -0.424, -0.420, -0.417,
    -0.415, -0.412, -0.410, -0.407, -0.405, -0.402, -0.399, -0.397, -0.394, -0.392,
    -0.389, -0.386, -0.384, -0.381, -0.379,
]


def nan_min(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return min(a, b)


def ref_cemaneige(params, precipitation, temperature, day_of_year, layers, median):
    """Plain per-day, per-layer loops. Returns the output and the final snow packs."""
    ctg, kf, qnbv = (float(v) for v in params)
    layers = [float(z) for z in layers]
    n = len(layers)
    dz = [(z - median) / 100.0 for z in layers]
    w = [math.exp((z - median) * 0.0) for z in layers]
    total_w = 0.0
    for wj in w:
        total_w = total_w + wj
    threshold = qnbv * 0.9
    pack, state, temp = [0.0] * n, [0.0] * n, [0.0] * n
    out = []
    for p, t, d in zip(precipitation.tolist(), temperature.tolist(), day_of_year.tolist()):
        theta = GRADIENT[(d - 1) % 365]
        liquid = 0.0
        for j in range(n):
            tj = dz[j] * theta + t
            temp[j] = tj
            if tj > 3.0:
                solid = 0.0
            elif tj < -1.0:
                solid = 1.0
            else:
                solid = (tj + 1.0) * (-0.25) + 1.0
            pj = (w[j] * p) / total_w
            snow = solid * pj
            pack[j] = pack[j] + snow
            x = tj * (1.0 - ctg) + state[j] * ctg
            state[j] = x if x < 0.0 else 0.0
            liquid = liquid + (pj - snow)
        melt = 0.0
        for j in range(n):
            potential = 0.0
            if temp[j] > 0.0 and state[j] >= 0.0:
                potential = nan_min(pack[j], (temp[j] - 0.0) * kf)
            ratio = nan_min(pack[j] / threshold, 1.0) if threshold > 0.0 else 1.0
            actual = potential * (ratio * (1.0 - 0.1) + 0.1)
            pack[j] = pack[j] - actual
            melt = melt + actual
        out.append(liquid + melt)
    return np.array(out), pack


def run(params, p, t, d, layers, median):
    return cemaneige.simulate(np.asarray(params, dtype=np.float64), p, t, d, np.asarray(layers, dtype=np.float64),
                              median)


def synthetic_forcing(seed, n_days=900):
    rng = np.random.default_rng(seed)
    start = np.datetime64("2003-09-01") + int(rng.integers(0, 365))
    dates = start + np.arange(n_days)
    doy = (dates - dates.astype("datetime64[Y]")).astype(np.int64) + 1
    season = np.cos(2 * np.pi * (doy - 20) / 365.0)
    temperature = -8.0 * season + 2.0 + rng.normal(0.0, 4.0, n_days)
    precipitation = rng.gamma(0.6, 8.0, n_days) * (rng.random(n_days) < 0.55)
    return precipitation, temperature, doy.astype(np.uint64)


CASES = [
    (DEFAULTS, [500.0], 500.0),
    ((0.0, 3.74, 350.0), [200.0, 650.0, 1100.0], 650.0),
    ((1.0, 5.0, 120.0), [900.0, 1300.0, 1700.0, 2100.0, 2500.0], 1650.0),
    ((0.6, 0.0, 300.0), [100.0, 400.0], 250.0),
    ((0.35, 20.0, 0.0), [300.0, 800.0, 1400.0], 760.5),
    ((0.05, 8.3, 2000.0), [1234.5], 87.25),
    ((0.9, 2.1, 15.0), [-20.0, 0.0, 3333.0], 1500.0),
]


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("params, layers, median", CASES)
def test_matches_reference_bit_for_bit(params, layers, median, seed):
    p, t, d = synthetic_forcing(seed)
    got = run(params, p, t, d, layers, median)
    expected, _ = ref_cemaneige(params, p, t, d, layers, median)
    assert same_bits(got, expected)
    # The series must exercise snow accumulation, and melt where melt is possible.
    assert np.any(got < p)
    assert np.any(got > p) == (params[1] > 0.0)


def test_real_catchment_water_balance(camels_forcing):
    f = camels_forcing("01022500")
    p, t, d = f["prcp"], f["tmean"], f["doy"]
    median = f["elev_mean"]
    layers = [median - 60.0, median - 20.0, median + 20.0, median + 60.0]
    liquid = run(DEFAULTS, p, t, d, layers, median)
    expected, final_pack = ref_cemaneige(DEFAULTS, p, t, d, layers, median)
    assert same_bits(liquid, expected)

    # Water is neither created nor lost: what did not come out is still on the ground.
    tol = 1e-9 * p.sum()
    assert np.all(liquid >= 0.0)
    assert np.all(np.cumsum(liquid) <= np.cumsum(p) + tol)
    assert abs(p.sum() - liquid.sum() - sum(final_pack)) < tol
    # Snowy winters: a sizeable pack builds up and melts in spring.
    assert np.max(np.cumsum(p) - np.cumsum(liquid)) > 50.0

    # By the end of each summer the snow is gone and input and output balance.
    years = f["dates"].astype("datetime64[Y]").astype(int) + 1970
    for year in np.unique(years):
        end = int(np.searchsorted(f["dates"], np.datetime64(f"{year}-09-30"), side="right"))
        out = run(DEFAULTS, p[:end], t[:end], d[:end], layers, median)
        assert abs(p[:end].sum() - out.sum()) < 1e-3


def test_zero_precipitation_gives_zeros():
    _, t, d = synthetic_forcing(5)
    out = run(DEFAULTS, np.zeros(len(t)), t, d, [100.0, 900.0, 2000.0], 700.0)
    assert np.all(out == 0.0)


def test_warm_days_pass_rain_through():
    rng = np.random.default_rng(11)
    p = rng.gamma(0.8, 5.0, 400)
    t = rng.uniform(4.0, 30.0, 400)
    d = (np.arange(400) % 365 + 1).astype(np.uint64)
    assert same_bits(run(DEFAULTS, p, t, d, [321.0], 321.0), p)
    out = run(DEFAULTS, p, t, d, [300.0, 320.0, 340.0], 320.0)
    np.testing.assert_allclose(out, p, rtol=1e-15, atol=0)


def test_layer_at_median_ignores_the_gradient():
    p, t, d = synthetic_forcing(2)
    seasonal = run(DEFAULTS, p, t, d, [640.0], 640.0)
    fixed_day = run(DEFAULTS, p, t, np.full(len(p), 200, dtype=np.uint64), [640.0], 640.0)
    assert same_bits(seasonal, fixed_day)


def test_day_366_uses_day_1_gradient():
    p, t, _ = synthetic_forcing(3, 200)
    layers, median = [200.0, 1200.0, 2200.0], 900.0
    day1 = run(DEFAULTS, p, t, np.full(200, 1, dtype=np.uint64), layers, median)
    day366 = run(DEFAULTS, p, t, np.full(200, 366, dtype=np.uint64), layers, median)
    day2 = run(DEFAULTS, p, t, np.full(200, 2, dtype=np.uint64), layers, median)
    assert same_bits(day1, day366)
    assert not same_bits(day1, day2)


def single_layer(params, p, t):
    return run(params, f64(*p), f64(*t), np.full(len(p), 50, dtype=np.uint64), [0.0], 0.0)


def test_cold_content_delays_melt():
    # A long spell at -8 drives the thermal state to -8; +2 then gives -0.5 (no melt), then > 0 (melt).
    cold = 60
    p = [30.0] + [0.0] * (cold - 1) + [0.0, 0.0]
    t = [-8.0] * cold + [2.0, 2.0]
    out = single_layer(DEFAULTS, p, t)
    assert np.all(out[:cold] == 0.0)
    assert out[cold] == 0.0
    assert out[cold + 1] > 0.0
    # A single day at -8 leaves the state at -6, and +2 brings it exactly to 0: melt at once.
    out = single_layer(DEFAULTS, [30.0, 0.0], [-8.0, 2.0])
    assert out[0] == 0.0 and out[1] > 0.0


@pytest.mark.parametrize("ctg, melts", [(1.0, True), (0.0, True), (0.99, False)])
def test_thermal_memory(ctg, melts):
    # After a deep cold day, a mildly warm day melts only if the state forgets the cold.
    out = single_layer((ctg, 3.74, 350.0), [40.0, 0.0], [-50.0, 0.5])
    assert (out[1] > 0.0) == melts


def test_no_melt_factor_keeps_snow():
    p, t, d = synthetic_forcing(4)
    out = run((0.25, 0.0, 350.0), p, t, d, [100.0, 800.0], 500.0)
    # Only rain comes out: dry days give nothing, whatever the temperature.
    assert np.all(out[p == 0.0] == 0.0)
    assert out.sum() < p.sum()


@pytest.mark.parametrize("qnbv, full_speed", [(0.0, True), (2000.0, False)])
def test_pack_threshold_slows_melt(qnbv, full_speed):
    out = single_layer((1.0, 1.0, qnbv), [100.0, 0.0], [-10.0, 2.0])
    # Potential melt is 2 mm; a pack far below the threshold melts slower.
    assert (out[1] == 2.0) == full_speed
    assert 0.2 <= out[1] <= 2.0


def test_init_and_names():
    defaults, bounds = cemaneige.init()
    assert defaults.dtype == np.float64 and defaults.tolist() == [0.25, 3.74, 350.0]
    assert bounds.dtype == np.float64 and bounds.shape == (3, 2)
    assert bounds.tolist() == [[0.0, 1.0], [0.0, 20.0], [0.0, 2000.0]]
    assert cemaneige.param_names == ["ctg", "kf", "qnbv"]


def test_params_read_in_logical_order():
    p, t, d = synthetic_forcing(6, 300)
    reversed_view = np.array([350.0, 3.74, 0.25])[::-1]
    strided = np.array([0.25, -1.0, 3.74, -1.0, 350.0])[::2]
    expected = run(DEFAULTS, p, t, d, [100.0, 700.0], 400.0)
    assert same_bits(run(reversed_view, p, t, d, [100.0, 700.0], 400.0), expected)
    assert same_bits(run(strided, p, t, d, [100.0, 700.0], 400.0), expected)


def test_boundaries_and_negative_zero_accepted():
    p, t, d = f64(-0.0, 2.0, 1.0), f64(-100.0, 100.0, 4.0), u64(1, 366, 11)
    for params in [(0.0, 0.0, 0.0), (1.0, 20.0, 2000.0), (-0.0, -0.0, -0.0)]:
        out = run(params, p, t, d, [0.0], 0.0)
        assert out[0] == 0.0 and out[1] == 2.0


P3, T3, D3, Z1 = f64(1, 2, 3), f64(0, 0, 0), u64(1, 2, 3), [0.0]


@pytest.mark.parametrize(
    "params, p, t, d, layers, message",
    [
        ((0.25, 3.74), P3, T3, D3, Z1, "expected 3 params, got 2"),
        ((0.25, 3.74, 350.0, 1.0), f64(), f64(), u64(), [], "expected 3 params, got 4"),
        ((), P3, T3, D3, Z1, "expected 3 params, got 0"),
        ((0.25, 25.0, 350.0), P3, T3, D3, Z1, "Parameter 'kf' value 25 outside bounds [0, 20]"),
        ((-0.1, 25.0, 350.0), P3, T3, D3, Z1, "Parameter 'ctg' value -0.1 outside bounds [0, 1]"),
        ((0.25, 3.74, 2000.5), f64(), T3, D3, Z1, "Parameter 'qnbv' value 2000.5 outside bounds [0, 2000]"),
        ((math.nan, 3.74, 350.0), P3, T3, D3, Z1, "Parameter 'ctg' value NaN outside bounds [0, 1]"),
        ((0.25, math.inf, 350.0), P3, T3, D3, Z1, "Parameter 'kf' value inf outside bounds [0, 20]"),
        ((0.25, 3.74, -math.inf), P3, T3, D3, Z1, "Parameter 'qnbv' value -inf outside bounds [0, 2000]"),
        (DEFAULTS, P3, f64(0, 0), D3, Z1,
         "precipitation, temperature and day_of_year must have the same length (got 3, 2 and 3)"),
        (DEFAULTS, f64(), f64(), u64(1), Z1,
         "precipitation, temperature and day_of_year must have the same length (got 0, 0 and 1)"),
        (DEFAULTS, f64(), f64(), u64(), [], "Empty input array: precipitation"),
        # Finiteness of a whole array before its sign.
        (DEFAULTS, f64(0, 0, -1.5, 0, 0, np.nan), np.zeros(6), np.ones(6, np.uint64), Z1,
         "Non-finite value in precipitation at index 5: NaN"),
        (DEFAULTS, f64(0, 0, -1.5, 0), f64(np.nan, 0, 0, 0), np.ones(4, np.uint64), Z1,
         "Negative value in precipitation at index 2: -1.5"),
        (DEFAULTS, f64(0, np.inf, 0), T3, D3, Z1, "Non-finite value in precipitation at index 1: inf"),
        # Whole temperature array checked for finiteness before its range.
        (DEFAULTS, P3, f64(150, 0, np.nan), u64(0, 1, 1), Z1, "Non-finite value in temperature at index 2: NaN"),
        (DEFAULTS, P3, f64(0, -100.5, 150), u64(0, 1, 1), Z1,
         "Temperature -100.5 at index 1 outside physical range [-100, 100]"),
        (DEFAULTS, P3, f64(0, 0, 100.00000000000001), D3, Z1,
         "Temperature 100.00000000000001 at index 2 outside physical range [-100, 100]"),
        (DEFAULTS, P3, T3, u64(1, 0, 367), [], "Day of year 0 at index 1 outside valid range [1, 366]"),
        (DEFAULTS, P3, T3, u64(1, 366, 367), Z1, "Day of year 367 at index 2 outside valid range [1, 366]"),
        (DEFAULTS, P3, T3, D3, [], "Empty input array: elevation_layers"),
        (DEFAULTS, P3, T3, D3, [0.0, np.nan, np.inf], "Non-finite value in elevation_layers at index 1: NaN"),
        (DEFAULTS, P3, T3, D3, [-np.inf], "Non-finite value in elevation_layers at index 0: -inf"),
    ],
)
def test_checks_in_order(params, p, t, d, layers, message):
    with pytest.raises(Validation) as info:
        run(params, p, t, d, layers, 0.0)
    assert str(info.value) == message


@pytest.mark.parametrize("median", [math.nan, math.inf, -math.inf])
def test_non_finite_median_fails_the_result_scan(median):
    with pytest.raises(Numerical) as info:
        run(DEFAULTS, f64(0.0, 1.0), f64(1.0, 2.0), u64(1, 2), [100.0, 200.0], median)
    assert str(info.value) == "Numerical error in CemaNeige simulation: non-finite value NaN at index 0"


def test_day_of_year_must_be_uint64():
    with pytest.raises(TypeError, match=r"^argument 'day_of_year': "):
        run(DEFAULTS, P3, T3, np.array([1, 2, 3]), Z1, 0.0)


def test_recorded_states(camels_forcing):
    f = camels_forcing("01022500")
    p, t, d = f["prcp"][:2000], f["tmean"][:2000], f["doy"][:2000]
    median = f["elev_mean"]
    layers = f64(median - 60.0, median + 60.0)
    liquid = run(DEFAULTS, p, t, d, layers, median)
    s = vardex.cemaneige_states(f64(*DEFAULTS), p, t, d, layers, median)
    assert list(s) == ["G_0", "G_1", "e_0", "e_1"]
    # Every day, what fell and did not come out lies in the packs; the higher layer holds more snow.
    np.testing.assert_allclose(np.cumsum(p) - np.cumsum(liquid), s["G_0"] + s["G_1"], atol=1e-9 * p.sum())
    assert s["G_1"].max() > s["G_0"].max() > 10.0
    assert np.all(s["e_0"] <= 0.0) and np.all(s["e_1"] <= 0.0) and s["e_1"].min() < -1.0
    with pytest.raises(Validation, match="^Day of year 0 at index 1 outside valid range"):
        vardex.cemaneige_states(f64(*DEFAULTS), f64(1, 1), f64(0, 0), u64(1, 0), layers, median)
    # The fluxes account for every layer's water: what fell is liquid or solid, the pack is what fell solid and
    # did not melt, the outflows are simulate's output.
    fx = vardex.cemaneige_fluxes(f64(*DEFAULTS), p, t, d, layers, median)
    assert list(fx) == [f"{k}_{j}" for k in ("liquid_precipitation", "solid_precipitation", "melt", "outflow")
                        for j in (0, 1)]
    np.testing.assert_allclose(sum(fx[f"{k}_{j}"] for k in ("liquid_precipitation", "solid_precipitation")
                                   for j in (0, 1)), p, rtol=1e-12, atol=1e-12)
    for j in (0, 1):
        np.testing.assert_allclose(np.cumsum(fx[f"solid_precipitation_{j}"] - fx[f"melt_{j}"]), s[f"G_{j}"],
                                   atol=1e-9 * p.sum())
        assert np.all(fx[f"melt_{j}"] >= 0) and fx[f"melt_{j}"].max() > 1.0
    np.testing.assert_allclose(fx["outflow_0"] + fx["outflow_1"], liquid, rtol=1e-12, atol=1e-12)
    # A layer with cold content left does not melt: its pack only gains the day's snow. Once the cold content
    # is gone, a warm day melts any pack.
    for j in (0, 1):
        pack, before, melt = s[f"G_{j}"][1:], s[f"G_{j}"][:-1], fx[f"melt_{j}"][1:]
        cold = s[f"e_{j}"][1:] < 0.0
        assert cold.sum() > 100 and np.all(melt[cold] == 0.0)
        assert same_bits(pack[cold], before[cold] + fx[f"solid_precipitation_{j}"][1:][cold])
        warm = (s[f"e_{j}"][1:] == 0.0) & (t[1:] > 5.0) & (before > 1.0)
        assert warm.sum() > 10 and np.all(melt[warm] > 0.0)
    with pytest.raises(Validation, match="^Day of year 0 at index 1 outside valid range"):
        vardex.cemaneige_fluxes(f64(*DEFAULTS), f64(1, 1), f64(0, 0), u64(1, 0), layers, median)
