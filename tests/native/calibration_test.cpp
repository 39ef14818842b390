// Self-checks of the calibration core: ranking, option parsing, scoring, the SCE and DDS
// building blocks, the worker pool, and a few whole runs on GR4J (with and without CemaNeige).
// Prints one line per check and exits 1 when any check fails.

#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "calibration/dds.hpp"
#include "calibration/pool.hpp"
#include "calibration/problem.hpp"
#include "calibration/rng.hpp"
#include "calibration/sce.hpp"
#include "errors/errors.hpp"
#include "metrics/metrics.hpp"

#include "check.hpp"

using namespace vardex;
using namespace vardex::calibration;

using native_check::check;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool same_triple(const Triple& a, const Triple& b) {
    return same_bits(a[0], b[0]) && same_bits(a[1], b[1]) && same_bits(a[2], b[2]);
}

bool same_vec(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_bits(a[i], b[i])) return false;
    return true;
}

std::string show(const std::vector<double>& v) {
    std::string s = "[";
    for (double x : v) s += std::to_string(x) + " ";
    return s + "]";
}

template <class T>
std::string err_text(const std::expected<T, CalibrationError>& r) {
    return r ? std::string("<success>") : message(r.error());
}

// ------------------------------------------------------------------------------ ranking

void test_ranking() {
    const std::vector<double> values{3.0, nan, 1.0, 2.0};
    struct Case { Objective obj; std::vector<std::size_t> order; };
    for (const Case& c : {Case{Objective::Rmse, {2, 3, 0, 1}}, Case{Objective::Nse, {0, 3, 2, 1}},
                          Case{Objective::Kge, {0, 3, 2, 1}}}) {
        std::vector<Triple> t;
        for (double v : values) {
            Triple x{0.0, 0.0, 0.0};
            x[static_cast<std::size_t>(c.obj)] = v;
            t.push_back(x);
        }
        check("ranking [3, NaN, 1, 2] objective " + std::to_string(static_cast<int>(c.obj)),
              ranking_permutation(c.obj, t) == c.order);
    }

    // Signed zeros by total order; equal values and non-finite values keep their order.
    std::vector<Triple> z{{0.0, 0.0, 0.0}, {-0.0, -0.0, 0.0}, {inf, 0.0, 0.0}, {1.0, nan, 0.0},
                          {nan, -inf, 0.0}, {-inf, inf, 0.0}, {1.0, 5.0, 0.0}};
    check("ranking Rmse: -0 before +0, ties stable, non-finite in original order",
          ranking_permutation(Objective::Rmse, z) == std::vector<std::size_t>{1, 0, 3, 6, 2, 4, 5});
    check("ranking Nse: +0 before -0, non-finite in original order",
          ranking_permutation(Objective::Nse, z) == std::vector<std::size_t>{6, 0, 2, 1, 3, 4, 5});

    // Rows travel with their triples (two columns per row).
    std::vector<double> pop{30, 31, 10, 11, 99, 98, 20, 21, 0, 1};
    std::vector<Triple> tr{{3, 0, 0}, {1, 0, 0}, {nan, 0, 0}, {2, 0, 0}, {inf, 0, 0}};
    sort_population(Objective::Rmse, pop, 2, tr);
    check("sort_population moves rows with triples",
          same_vec(pop, {10, 11, 20, 21, 30, 31, 99, 98, 0, 1}) && tr[0][0] == 1 && tr[2][0] == 3 &&
              std::isnan(tr[3][0]) && tr[4][0] == inf,
          show(pop));

    check("is_worse: ties and NaN are never worse",
          !is_worse(Objective::Rmse, 1.0, 1.0) && is_worse(Objective::Rmse, 2.0, 1.0) &&
              is_worse(Objective::Nse, 0.1, 0.2) && !is_worse(Objective::Kge, nan, 0.5) &&
              !is_worse(Objective::Rmse, 1.0, nan) && !is_worse(Objective::Nse, -inf, -inf));
}

// ------------------------------------------------------------------------------ parsing

void test_parsing() {
    struct Ok { const char* text; Objective obj; };
    for (const Ok& c : {Ok{"nse", Objective::Nse}, Ok{"NSE", Objective::Nse}, Ok{"Kge", Objective::Kge},
                        Ok{"RmSe", Objective::Rmse}, Ok{"\u212Age", Objective::Kge},
                        Ok{"\u212AGE", Objective::Kge}}) {
        auto r = parse_objective(c.text);
        check(std::string("parse_objective accepts '") + c.text + "'", r && *r == c.obj);
    }
    for (const char* text : {"nse ", "", " kge", "n\u0130e", "k\xe2\x84ge", "\xe2\x84\xaage\xff"}) {
        auto r = parse_objective(text);
        const std::string expect = std::string("Unknown objective function '") + text +
                                   "'. Valid options: nse, kge, rmse";
        check(std::string("parse_objective rejects '") + text + "'", !r && r.error() == expect,
              r ? "accepted" : r.error());
    }
    struct OkT { const char* text; Transformation t; };
    for (const OkT& c : {OkT{"LOG", Transformation::Log}, OkT{"Sqrt", Transformation::Sqrt},
                         OkT{"none", Transformation::NoTransform}, OkT{"NoNe", Transformation::NoTransform}}) {
        auto r = parse_transformation(c.text);
        check(std::string("parse_transformation accepts '") + c.text + "'", r && *r == c.t);
    }
    auto bad = parse_transformation("Ln");
    check("parse_transformation rejects 'Ln' with the original text",
          !bad && bad.error() == "Unknown transformation function 'Ln'. Valid options: log, sqrt, none");
}

// ------------------------------------------------------------------------------ scoring

Triple metrics_triple(const std::vector<double>& o, const std::vector<double>& s) {
    return {*metrics::rmse(o, s), *metrics::nse(o, s), *metrics::kge(o, s)};
}

void test_score() {
    const auto none = Transformation::NoTransform;

    auto warm = score(std::vector<double>{50, 1, 2, 4}, std::vector<double>{nan, 1, 2, 4}, none, 1);
    check("score ignores the warm-up (NaN simulated there)",
          warm && same_triple(*warm, metrics_triple({1, 2, 4}, {1, 2, 4})) && warm->at(0) == 0.0,
          err_text(warm));

    auto missing = score(std::vector<double>{1, nan, 3, inf, 5}, std::vector<double>{2, 99, 3, -7, 4}, none, 0);
    check("score skips days whose observation is missing",
          missing && same_triple(*missing, metrics_triple({1, 3, 5}, {2, 3, 4})), err_text(missing));

    auto log0 = score(std::vector<double>{0, 1, 2, 3e-6}, std::vector<double>{0, 1, 3, 1}, Transformation::Log, 0);
    const double l5 = std::log(1e-5);
    check("Log of 0 scores as ln(1e-5)",
          log0 && same_triple(*log0, metrics_triple({l5, 0.0, std::log(2.0), l5}, {l5, 0.0, std::log(3.0), 0.0})),
          err_text(log0));

    auto sq = score(std::vector<double>{1, 4, 9}, std::vector<double>{1, 4, 16}, Transformation::Sqrt, 0);
    check("Sqrt transforms both series", sq && same_triple(*sq, metrics_triple({1, 2, 3}, {1, 2, 4})), err_text(sq));

    struct Worst { const char* name; std::vector<double> obs, sim; Transformation t; std::uint64_t w; };
    for (const Worst& c : {
             Worst{"NaN in simulated window, lengths differ", {1, 2, 3}, {1, nan}, none, 0},
             Worst{"inf in simulated window", {1, 2, 3}, {1, 2, -inf}, none, 1},
             Worst{"negative simulation under Sqrt", {1, 2, 3}, {1, -2, 3}, Transformation::Sqrt, 0},
         }) {
        auto r = score(c.obs, c.sim, c.t, c.w);
        check(std::string("worst triple: ") + c.name, r && same_triple(*r, worst_triple), err_text(r));
    }

    struct Fail { const char* name; std::vector<double> obs, sim; Transformation t; std::uint64_t w; const char* msg; };
    for (const Fail& c : {
             Fail{"window lengths differ", {1, 2, 3, 4}, {nan, 2, 3}, none, 1,
                  "observations and simulations must have the same length (got 3 and 2)"},
             Fail{"every observation missing", {1, nan, nan}, {1, 2, 3}, none, 1, "Empty input arrays"},
             Fail{"warm-up equal to the length", {1, 2}, {1, 2}, none, 2, "Empty input arrays"},
             Fail{"warm-up beyond the length", {1, 2}, {1, 2}, none, 5, "Empty input arrays"},
             Fail{"warm-up beyond the observations only", {1, 2}, {1, 2, 3, 4}, none, 3,
                  "observations and simulations must have the same length (got 0 and 1)"},
             Fail{"negative observation under Sqrt", {1, nan, 4, -1}, {1, 1, 1, 1}, Transformation::Sqrt, 0,
                  "NaN found in observations at index 2"},
         }) {
        auto r = score(c.obs, c.sim, c.t, c.w);
        check(std::string("score fails: ") + c.name, !r && message(r.error()) == c.msg, err_text(r));
    }
    auto huge = score(std::vector<double>{1}, std::vector<double>{1}, none, ~std::uint64_t{0});
    check("score with the largest warm-up is empty", !huge && message(huge.error()) == "Empty input arrays");

    auto flat = score(std::vector<double>{2, 2, 2}, std::vector<double>{1, 2, 3}, none, 0);
    check("degenerate metrics give -inf, RMSE still computed",
          flat && flat->at(0) == std::sqrt(2.0 / 3.0) && flat->at(1) == -inf && flat->at(2) == -inf,
          err_text(flat));
    auto one = score(std::vector<double>{3}, std::vector<double>{1}, none, 0);
    check("single pair: RMSE |o - s|, NSE and KGE -inf", one && same_triple(*one, {2.0, -inf, -inf}), err_text(one));

    check("has_observations: NaN after warm-up only",
          !has_observations(std::vector<double>{1, 2, nan, nan}, 2) &&
              has_observations(std::vector<double>{1, 2, nan, 0.0}, 2) &&
              !has_observations(std::vector<double>{1, 2}, 2) &&
              !has_observations(std::vector<double>{1, 2}, ~std::uint64_t{0}) &&
              !has_observations(std::vector<double>{inf, -inf}, 0));
}

// ------------------------------------------------------------------------------ SCE pieces

void test_sce_pieces() {
    using namespace sce_detail;
    check("triangular position of u = 0 is 0", triangular_position(0.0, 9) == 0);
    check("triangular position of the largest u is m - 1", triangular_position(std::nextafter(1.0, 0.0), 9) == 8 &&
                                                                triangular_position(std::nextafter(1.0, 0.0), 1) == 0);

    // Frequencies follow 2(m - i) / (m(m + 1)).
    const std::size_t m = 9;
    std::vector<double> hits(m, 0.0);
    ChaCha8 rng = ChaCha8::from_seed(7);
    const int draws = 200000;
    bool in_range = true;
    for (int k = 0; k < draws; ++k) {
        const std::size_t i = triangular_position(rng.uniform53(), m);
        if (i >= m) in_range = false;
        else hits[i] += 1.0;
    }
    double worst_dev = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double expect = 2.0 * static_cast<double>(m - i) / static_cast<double>(m * (m + 1));
        worst_dev = std::max(worst_dev, std::fabs(hits[i] / draws - expect));
    }
    check("triangular positions in range with the triangular frequencies", in_range && worst_dev < 0.005,
          "max deviation " + std::to_string(worst_dev));

    bool shape_ok = true;
    ChaCha8 sel = ChaCha8::from_seed(3);
    for (int k = 0; k < 500 && shape_ok; ++k) {
        const auto held = select_subcomplex(sel, 9, 5);
        shape_ok = held.size() == 5 && held[0] == 0 && held.back() < 9;
        for (std::size_t i = 1; i < held.size(); ++i) shape_ok = shape_ok && held[i - 1] < held[i];
    }
    check("sub-complex: q distinct ascending positions starting at 0", shape_ok);

    // With one position only, every slot repeats: the 1000th draw is kept anyway.
    ChaCha8 a = ChaCha8::from_seed(11);
    ChaCha8 b = ChaCha8::from_seed(11);
    const auto held = select_subcomplex(a, 1, 3);
    for (int k = 0; k < 2000; ++k) b.uniform53();
    check("sub-complex: after 1000 draws a held position is taken again",
          held == std::vector<std::size_t>{0, 0, 0} && a.next_u64() == b.next_u64());

    check("criterion D: fewer entries than k_stop", criterion_d(std::vector<double>{1, 2}, 3) == inf);
    check("criterion D: non-finite in the window", criterion_d(std::vector<double>{nan, 1, 2, 3}, 3) > 0 &&
                                                       criterion_d(std::vector<double>{1, -inf, 2}, 3) == inf &&
                                                       std::isfinite(criterion_d(std::vector<double>{nan, 1, 2, 3}, 3)));
    check("criterion D: all-zero window gives 0", criterion_d(std::vector<double>{5, 0, 0, 0}, 3) == 0.0);
    check("criterion D: window of the last k_stop entries",
          std::fabs(criterion_d(std::vector<double>{9, 4, 2, 2}, 3) - 75.0) < 1e-12 &&
              criterion_d(std::vector<double>{9, 4, 2, 2}, 2) == 0.0);
    check("criterion D: sign of the change ignored",
          std::fabs(criterion_d(std::vector<double>{-0.5, -0.7}, 2) - 100.0 * 0.2 / 0.6) < 1e-12);

    const std::vector<double> lower{0, 0}, upper{10, 4};
    const double g = criterion_g(std::vector<double>{1, 1, 6, 2, 3, 1.5}, 2, lower, upper);
    check("criterion G: geometric mean of normalised ranges", std::fabs(g - std::sqrt(0.5 * 0.25)) < 1e-15);
    const double g_flat = criterion_g(std::vector<double>{1, 3, 6, 3}, 2, lower, upper);
    check("criterion G: a collapsed column counts as 1e-10",
          std::fabs(g_flat - std::exp((std::log(0.5) + std::log(1e-10)) / 2.0)) < 1e-20);
}

// ------------------------------------------------------------------------------ DDS pieces

void test_reflect() {
    using dds_detail::reflect;
    struct Case { const char* name; double x, expect; };
    for (const Case& c : {Case{"inside", 3.0, 3.0}, Case{"on lower bound", 2.0, 2.0}, Case{"on upper bound", 6.0, 6.0},
                          Case{"below by less than the range", 1.0, 3.0}, Case{"below by exactly the range", -2.0, 6.0},
                          Case{"below by more than the range", -2.5, 2.0}, Case{"above by less than the range", 7.5, 4.5},
                          Case{"above by more than the range", 10.5, 6.0}}) {
        const double got = reflect(c.x, 2.0, 6.0);
        check(std::string("reflect ") + c.name, same_bits(got, c.expect), std::to_string(got));
    }
}

// ------------------------------------------------------------------------------ pool

void test_pool() {
    check("pool has a worker per processor here", pool_size() >= 1);
    parallel_for(0, [](std::size_t) { throw std::runtime_error("no index expected"); });

    auto run_once = [](std::size_t n) {
        std::vector<std::atomic<int>> seen(n);
        parallel_for(n, [&](std::size_t i) { seen[i].fetch_add(1); });
        for (auto& s : seen)
            if (s.load() != 1) return false;
        return true;
    };
    check("parallel_for visits every index once", run_once(1) && run_once(1000));

    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int k = 0; k < 50; ++k)
                if (run_once(97)) good.fetch_add(1);
        });
    for (auto& t : threads) t.join();
    check("parallel_for from several threads at once", good.load() == 200);

    bool rethrown = false;
    try {
        parallel_for(64, [](std::size_t i) {
            if (i == 17) throw std::runtime_error("boom");
        });
    } catch (const std::runtime_error& e) {
        rethrown = std::string(e.what()) == "boom";
    }
    check("parallel_for rethrows an exception of the body", rethrown);
}

// ------------------------------------------------------------------------------ whole runs

struct Series {
    std::vector<double> p, t, e, obs;
    std::vector<std::uint64_t> doy;
    std::vector<double> bands{400.0, 900.0, 1400.0};
};

Series make_series(std::size_t len) {
    Series s;
    for (std::size_t i = 0; i < len; ++i) {
        s.p.push_back(i % 5 == 0 ? 12.0 : (i % 3 == 0 ? 3.0 : 0.0));
        s.t.push_back(8.0 + 12.0 * std::sin(static_cast<double>(i) * 0.0172));
        s.e.push_back(2.0 + 1.5 * std::sin(static_cast<double>(i) * 0.0172));
        s.doy.push_back(i % 365 + 1);
    }
    return s;
}

Forcing forcing_of(const Series& s, bool snow, std::uint64_t warmup = 30) {
    Forcing f{s.p, std::nullopt, s.e, std::nullopt, std::nullopt, std::nullopt, s.obs, warmup};
    if (snow) {
        f.temperature = std::span<const double>(s.t);
        f.day_of_year = std::span<const std::uint64_t>(s.doy);
        f.elevation_bands = std::span<const double>(s.bands);
        f.median_elevation = 900.0;
    }
    return f;
}

void test_problem() {
    auto wrong_both = build_problem("nope", std::optional<std::string_view>("CemaNeige"));
    check("unknown snow name reported before the hydro name",
          !wrong_both && message(wrong_both.error()) == "Unknown snow model 'CemaNeige'");
    auto upper = build_problem("GR4J", std::nullopt);
    check("hydro names are case-sensitive", !upper && message(upper.error()) == "Unknown hydro model 'GR4J'");
    auto empty = build_problem("", std::nullopt);
    check("empty hydro name rejected", !empty && message(empty.error()) == "Unknown hydro model ''");
    auto snow = build_problem("gr4j", std::optional<std::string_view>("cemaneige"));
    check("cemaneige + gr4j: 7 parameters, snow bounds first",
          snow && snow->parameter_count() == 7 && snow->snow_param_count == 3 &&
              same_vec(std::vector<double>(snow->lower.begin(), snow->lower.begin() + 4), {0, 0, 0, 10}) &&
              same_vec(std::vector<double>(snow->upper.begin(), snow->upper.begin() + 4), {1, 20, 2000, 1500}));

    Series s = make_series(100);
    s.obs.assign(100, 1.0);
    auto plain = build_problem("gr4j", std::nullopt);
    const std::vector<double> x{300, 0, 80, 2};
    std::vector<double> short_t(99, 0.0);
    Forcing f = forcing_of(s, false);
    f.temperature = std::span<const double>(short_t);
    auto mismatch = simulate_candidate(*plain, x, f);
    check("temperature of the wrong length fails without a snow model too",
          !mismatch && message(mismatch.error()) ==
                           "precipitation, temperature, pet and day_of_year must have the same length "
                           "(got 100, 99, 100 and 100)",
          err_text(mismatch));

    Forcing nf = forcing_of(s, true);
    nf.median_elevation = std::nullopt;
    auto missing = simulate_candidate(*snow, std::vector<double>{0.25, 3.74, 350, 300, 0, 80, 2}, nf);
    check("snow model without median elevation", !missing && std::holds_alternative<MissingSnowParams>(missing.error()));

    auto out = simulate_candidate(*plain, std::vector<double>{5, 0, 80, 2}, forcing_of(s, false));
    check("model errors pass through unchanged",
          !out && message(out.error()) == "Parameter 'x1' value 5 outside bounds [10, 1500]", err_text(out));
}

// The evaluation on a prepared forcing against the one that checks and scores everything afresh: same
// triple, simulation and error message, over forcings that fail at every stage and reused scratch buffers.
void test_prepared_evaluation() {
    struct Case {
        const char* name;
        bool snow;
        std::size_t days;
        std::uint64_t warmup;
        void (*edit)(Series&);
    };
    const Case cases[] = {
        {"plain", false, 400, 30, [](Series&) {}},
        {"snow", true, 400, 30, [](Series&) {}},
        {"short series after a long one", false, 50, 3, [](Series&) {}},
        {"warmup covers everything", false, 120, 120, [](Series&) {}},
        {"warmup beyond the series", true, 120, 500, [](Series&) {}},
        {"observations shorter", false, 200, 10, [](Series& s) { s.obs.resize(150); }},
        {"observations all missing", false, 200, 10, [](Series& s) { s.obs.assign(200, nan); }},
        {"negative and infinite observations", false, 200, 10,
         [](Series& s) { s.obs[20] = -1.0; s.obs[30] = inf; }},
        {"negative precipitation", false, 200, 10, [](Series& s) { s.p[77] = -1.0; }},
        {"negative precipitation, snow", true, 200, 10, [](Series& s) { s.p[77] = -1.0; }},
        {"missing pet value", true, 200, 10, [](Series& s) { s.e[5] = nan; }},
        {"negative pet", false, 200, 10, [](Series& s) { s.e[9] = -0.5; }},
        {"temperature too short", true, 200, 10, [](Series& s) { s.t.pop_back(); }},
        {"temperature out of range", true, 200, 10, [](Series& s) { s.t[3] = -150.0; }},
        {"no elevation bands", true, 200, 10, [](Series& s) { s.bands.clear(); }},
        {"no rain", false, 200, 10, [](Series& s) { s.p.assign(200, 0.0); }},
        {"no rain, snow", true, 200, 10, [](Series& s) { s.p.assign(200, 0.0); }},
    };
    const std::vector<std::vector<double>> plain_params{
        {350, 0.5, 90, 1.7}, {10, -5, 10, 0.8}, {1500, 3, 400, 10}, {5, 0, 80, 2}, {300, 0, 80, 11}, {300, 0}};
    const std::vector<std::vector<double>> snow_params{{0.3, 4.0, 300, 350, 0.5, 90, 1.7},
                                                       {0, 0, 0, 10, -5, 10, 0.8},
                                                       {1.5, 4.0, 300, 350, 0.5, 90, 1.7},
                                                       {0.3, 4.0, 300, 2000, 0.5, 90, 1.7},
                                                       {0.3, 4.0}};
    Scratch scratch;
    PreparedForcing prepared;
    bool all_same = true;
    std::string first_difference;
    for (const Case& c : cases) {
        Series s = make_series(c.days);
        s.obs.assign(c.days, 0.0);
        for (std::size_t i = 0; i < c.days; ++i) s.obs[i] = i % 11 == 0 ? nan : 0.5 + 0.01 * static_cast<double>(i % 37);
        c.edit(s);
        auto problem = build_problem("gr4j", c.snow ? std::optional<std::string_view>("cemaneige") : std::nullopt);
        Forcing f = forcing_of(s, c.snow, c.warmup);
        if (std::string(c.name) == "missing pet value") f.median_elevation = std::nullopt;
        for (Transformation t : {Transformation::NoTransform, Transformation::Sqrt, Transformation::Log}) {
            prepare(*problem, f, t, prepared);
            for (const auto& x : c.snow ? snow_params : plain_params) {
                const auto fresh = evaluate(*problem, x, f, t);
                const auto fast = evaluate(*problem, x, prepared, scratch);
                const bool same = fresh ? fast && same_triple(fresh->triple, *fast) &&
                                              same_vec(fresh->simulation, scratch.simulation)
                                        : !fast && message(fresh.error()) == message(fast.error());
                if (!same && all_same)
                    first_difference = std::string(c.name) + ": " + err_text(fresh) + " / " + err_text(fast);
                all_same = all_same && same;
            }
        }
    }
    check("evaluation on a prepared forcing matches the full evaluation", all_same, first_difference);
}

Series gr4j_series(bool snow) {
    Series s = make_series(400);
    auto problem = build_problem("gr4j", snow ? std::optional<std::string_view>("cemaneige") : std::nullopt);
    std::vector<double> x = snow ? std::vector<double>{0.3, 4.0, 300, 350, 0.5, 90, 1.7}
                                 : std::vector<double>{350, 0.5, 90, 1.7};
    s.obs = *simulate_candidate(*problem, x, forcing_of(s, snow));
    for (std::size_t i = 40; i < 400; i += 17) s.obs[i] = nan;  // some missing days
    return s;
}

void test_sce_runs() {
    const SceSettings base{2, 5, 0.1, 0.001, 10000, 42};
    auto bad_n = Sce::create("gr4j", std::nullopt, "nse", "none", SceSettings{0, 5, 0.1, 0.001, 10, 1});
    auto bad_k = Sce::create("gr4j", std::nullopt, "nse", "none", SceSettings{2, 0, 0.1, 0.001, 10, 1});
    auto order = Sce::create("x", std::nullopt, "nse", "cube", SceSettings{0, 0, 0.1, 0.001, 10, 1});
    auto bad_model = Sce::create("x", std::nullopt, "nse", "none", SceSettings{0, 5, 0.1, 0.001, 10, 1});
    check("Sce rejects n_complexes 0",
          !bad_n && bad_n.error() == "invalid algorithm parameter: n_complexes must be at least 1, got 0");
    check("Sce rejects k_stop 0",
          !bad_k && bad_k.error() == "invalid algorithm parameter: k_stop must be at least 1, got 0");
    check("Sce checks the transformation before the settings",
          !order && order.error() == "Unknown transformation function 'cube'. Valid options: log, sqrt, none");
    check("Sce checks the settings before the model", !bad_model && bad_model.error().starts_with("invalid"));
    auto huge = Sce::create("gr4j", std::nullopt, "nse", "none", SceSettings{~std::uint64_t{0}, 5, 0.1, 0, 10, 1});
    check("Sce refuses a population that cannot be allocated", !huge && huge.error().starts_with("invalid"));

    for (bool snow : {false, true}) {
        const Series s = gr4j_series(snow);
        const Forcing f = forcing_of(s, snow);
        const auto snow_name = snow ? std::optional<std::string_view>("cemaneige") : std::nullopt;
        auto a = Sce::create("gr4j", snow_name, "NSE", "none", base);
        auto b = Sce::create("gr4j", snow_name, "nse", "None", base);
        const std::string tag = snow ? " (cemaneige)" : "";
        bool inits = a->init(f).has_value() && b->init(f).has_value();
        bool identical = inits, sized = true, monotone = true, in_box = true;
        double previous = -inf;
        auto problem = build_problem("gr4j", snow_name);
        for (int k = 0; k < 6; ++k) {
            auto ra = a->step(f);
            auto rb = b->step(f);
            if (!ra || !rb) { identical = false; break; }
            identical = identical && ra->done == rb->done && same_vec(ra->best_parameters, rb->best_parameters) &&
                        same_vec(ra->best_simulation, rb->best_simulation) &&
                        same_triple(ra->best_triple, rb->best_triple);
            sized = sized && ra->best_parameters.size() == (snow ? 7u : 4u) && ra->best_simulation.size() == 400;
            monotone = monotone && ra->best_triple[1] >= previous;
            previous = ra->best_triple[1];
            for (std::size_t j = 0; j < ra->best_parameters.size(); ++j)
                in_box = in_box && ra->best_parameters[j] >= problem->lower[j] &&
                         ra->best_parameters[j] <= problem->upper[j];
            auto rescored = evaluate(*problem, ra->best_parameters, f, Transformation::NoTransform);
            identical = identical && rescored && same_triple(rescored->triple, ra->best_triple) &&
                        same_vec(rescored->simulation, ra->best_simulation);
        }
        check("Sce: same seed, same results, best triple matches its simulation" + tag, identical);
        check("Sce: result sizes" + tag, sized);
        check("Sce: best NSE never decreases, best inside the box" + tag, monotone && in_box);
    }

    const Series s = gr4j_series(false);
    const Forcing f = forcing_of(s, false);

    // Every candidate ties under constant observations, so each evolution step costs one
    // evaluation: a cycle of 2 complexes x 9 steps = 18 evaluations.
    Series flat = s;
    flat.obs.assign(400, 1.0);
    const Forcing ff = forcing_of(flat, false);
    for (std::uint64_t budget : {17u, 18u}) {
        auto sce = Sce::create("gr4j", std::nullopt, "nse", "none", SceSettings{2, 3, 0.0, 0.0, budget, 5});
        sce->init(ff);
        auto first = sce->step(ff);
        auto second = sce->step(ff);
        check("Sce: evaluation budget " + std::to_string(budget) + " against one cycle of 18",
              first && second && first->done == (budget < 18) && second->done &&
                  first->best_triple[1] == -inf);
    }

    // Done: steps draw nothing, so a later init draws what it would have drawn anyway.
    auto c = Sce::create("gr4j", std::nullopt, "kge", "sqrt", SceSettings{1, 3, 0.1, 0.001, 0, 9});
    auto d = Sce::create("gr4j", std::nullopt, "kge", "sqrt", SceSettings{1, 3, 0.1, 0.001, 0, 9});
    c->init(f);
    d->init(f);
    auto c1 = c->step(f);
    auto d1 = d->step(f);
    auto c2 = c->step(f);
    auto c3 = c->step(f);
    check("Sce: budget 0 sets done after one cycle; later steps repeat the best",
          c1 && d1 && same_vec(c1->best_parameters, d1->best_parameters) && c1->done && c2 && c3 && c2->done && same_vec(c2->best_parameters, c1->best_parameters) &&
              same_vec(c3->best_simulation, c1->best_simulation) && same_triple(c3->best_triple, c1->best_triple));
    c->init(f);
    d->init(f);
    auto c4 = c->step(f);
    auto d4 = d->step(f);
    check("Sce: steps after done make no draw",
          c4 && d4 && same_vec(c4->best_parameters, d4->best_parameters) && !same_vec(c4->best_parameters,
                                                                                      c1->best_parameters));

    // Failures.
    Series nobs = s;
    for (std::size_t i = 30; i < 400; ++i) nobs.obs[i] = nan;
    auto e = Sce::create("gr4j", std::nullopt, "rmse", "log", base);
    auto no_obs = e->init(forcing_of(nobs, false));
    check("Sce init without observations after warm-up",
          !no_obs && std::holds_alternative<NoObservations>(no_obs.error()));
    Series neg = s;
    neg.e[7] = -1.0;
    auto neg_init = e->init(forcing_of(neg, false));
    check("Sce init reports the evaluation error",
          !neg_init && message(neg_init.error()) == "Negative value in pet at index 7: -1", err_text(neg_init));
    auto snowless = Sce::create("gr4j", std::optional<std::string_view>("cemaneige"), "nse", "none", base);
    auto miss = snowless->init(f);
    check("Sce init with a snow model and no temperature", !miss && std::holds_alternative<MissingSnowParams>(miss.error()));

    e->init(f);
    auto ok1 = e->step(f);
    auto failed = e->step(forcing_of(neg, false));
    auto ok2 = e->step(f);
    check("Sce step failure keeps the optimiser usable and its best",
          ok1 && !failed && ok2 && ok2->best_triple[0] <= ok1->best_triple[0], err_text(failed));
}

void test_dds_runs() {
    struct Bad { const char* obj; const char* tr; double r; std::uint64_t max; const char* model; std::string msg; };
    for (const Bad& c : {
             Bad{"mse", "cube", 0.0, 0, "x", "Unknown objective function 'mse'. Valid options: nse, kge, rmse"},
             Bad{"nse", "cube", 0.0, 0, "x", "Unknown transformation function 'cube'. Valid options: log, sqrt, none"},
             Bad{"nse", "log", 0.0, 0, "x", "invalid algorithm parameter: neighborhood size r must be in (0, 1], got 0"},
             Bad{"nse", "log", -0.5, 5, "gr4j", "invalid algorithm parameter: neighborhood size r must be in (0, 1], got -0.5"},
             Bad{"nse", "log", 1.0000001, 5, "gr4j",
                 "invalid algorithm parameter: neighborhood size r must be in (0, 1], got 1.0000001"},
             Bad{"nse", "log", nan, 5, "gr4j", "invalid algorithm parameter: neighborhood size r must be in (0, 1], got NaN"},
             Bad{"nse", "log", inf, 5, "gr4j", "invalid algorithm parameter: neighborhood size r must be in (0, 1], got inf"},
             Bad{"nse", "log", 1.0, 1, "x", "invalid algorithm parameter: max_evaluations must be at least 2, got 1"},
             Bad{"nse", "log", 1.0, 2, "x", "Unknown hydro model 'x'"},
         }) {
        auto r = Dds::create(c.model, std::nullopt, c.obj, c.tr, c.r, c.max, 1);
        check("Dds construction: " + c.msg, !r && r.error() == c.msg, r ? "accepted" : r.error());
    }

    const Series s = gr4j_series(false);
    const Forcing f = forcing_of(s, false);
    auto problem = build_problem("gr4j", std::nullopt);
    const std::size_t n = 4;

    // Constant observations make every NSE -inf, so every candidate ties and is accepted:
    // the returned parameters are exactly the generated candidates.
    Series flat = s;
    flat.obs.assign(400, 1.0);
    const Forcing ff = forcing_of(flat, false);
    const double r = 0.3;
    const std::uint64_t budget = 40;
    auto dds = Dds::create("gr4j", std::nullopt, "nse", "none", r, budget, 77);
    bool exact = dds->init(ff).has_value();
    ChaCha8 rng = ChaCha8::from_seed(77);
    std::vector<double> x{(10.0 + 1500.0) * 0.5, (-5.0 + 3.0) * 0.5, (10.0 + 400.0) * 0.5, (0.8 + 10.0) * 0.5};
    bool done_at_budget = true;
    for (std::uint64_t count = 1; count < budget + 3 && exact; ++count) {
        auto res = dds->step(ff);
        if (!res) { exact = false; break; }
        if (count < budget) {
            const double p = 1.0 - std::log(static_cast<double>(count)) / std::log(static_cast<double>(budget));
            std::vector<bool> sel(n);
            bool any = false;
            for (std::size_t j = 0; j < n; ++j) any = (sel[j] = rng.uniform53() < p) || any;
            if (!any) sel[rng.below(n)] = true;
            for (std::size_t j = 0; j < n; ++j)
                if (sel[j]) {
                    const double z = rng.standard_normal();
                    x[j] = dds_detail::reflect((problem->upper[j] - problem->lower[j]) * r * z + x[j],
                                               problem->lower[j], problem->upper[j]);
                }
        }
        exact = exact && same_vec(res->best_parameters, x);
        done_at_budget = done_at_budget && res->done == (count + 1 >= budget);
    }
    check("Dds candidates: selection, normal perturbation and reflection, ties accepted", exact);
    check("Dds done when the count reaches the budget, inert afterwards", done_at_budget);

    auto two = Dds::create("gr4j", std::nullopt, "rmse", "none", 0.2, 2, 3);
    two->init(f);
    auto s1 = two->step(f);
    auto s2 = two->step(f);
    check("Dds budget 2: first step is done, the next repeats it",
          s1 && s1->done && s2 && s2->done && same_vec(s1->best_parameters, s2->best_parameters) &&
              same_vec(s1->best_simulation, s2->best_simulation) && same_triple(s1->best_triple, s2->best_triple));

    // A failing step changes neither the count nor the best.
    Series neg = s;
    neg.e[3] = -2.0;
    auto four = Dds::create("gr4j", std::nullopt, "kge", "none", 0.2, 4, 3);
    four->init(f);
    auto before = four->step(f);
    auto failed = four->step(forcing_of(neg, false));
    auto after = four->step(f);
    auto last = four->step(f);
    check("Dds failing step keeps count and best",
          before && !before->done && !failed && after && !after->done && last && last->done &&
              after->best_triple[2] >= before->best_triple[2] &&
              message(failed.error()) == "Negative value in pet at index 3: -2",
          err_text(failed));

    auto fresh = Dds::create("gr4j", std::nullopt, "kge", "none", 0.2, 10, 3);
    auto pre = fresh->step(f);
    check("Dds step before init perturbs from the midpoint and scores",
          pre && !pre->done && pre->best_parameters.size() == n && pre->best_simulation.size() == 400 &&
              std::isfinite(pre->best_triple[2]),
          err_text(pre));
    Series nobs = s;
    for (std::size_t i = 30; i < 400; ++i) nobs.obs[i] = nan;
    auto no_obs = fresh->init(forcing_of(nobs, false));
    check("Dds init without observations", !no_obs && std::holds_alternative<NoObservations>(no_obs.error()));
}

// Bit patterns of a short SCE run, for comparing runs under different processor sets.
void print_digest() {
    for (bool snow : {false, true}) {
        const Series s = gr4j_series(snow);
        const Forcing f = forcing_of(s, snow);
        auto sce = Sce::create("gr4j", snow ? std::optional<std::string_view>("cemaneige") : std::nullopt, "kge",
                               "log", SceSettings{3, 5, 0.01, 0.0001, 100000, 2024});
        if (!sce->init(f)) std::printf("init failed\n");
        for (int k = 0; k < 3; ++k) {
            auto r = sce->step(f);
            if (!r) {
                std::printf("step failed: %s\n", message(r.error()).c_str());
                continue;
            }
            for (double v : r->best_parameters) std::printf("%016llx ", static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(v)));
            for (double v : r->best_triple) std::printf("%016llx ", static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(v)));
            std::printf("\n");
        }
    }
}

}  // namespace

// With the argument "digest": print the bit patterns of a short SCE run instead of checking.
int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "digest") {
        print_digest();
        return 0;
    }
    test_ranking();
    test_parsing();
    test_score();
    test_sce_pieces();
    test_reflect();
    test_pool();
    test_problem();
    test_prepared_evaluation();
    test_sce_runs();
    test_dds_runs();
    return native_check::report();
}
