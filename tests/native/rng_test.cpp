// Self-checks of the seeded ChaCha8 generator.
//
//   rng_test               run the checks: one line per check, a summary line, exit 1 on any failure
//   rng_test replay SEED   read draw commands from stdin and print one result line per command, for
//                          comparison against an independent implementation:
//                            key -> 8 key words (hex);  u32, u64 -> hex;  below K -> decimal;
//                            u53, u52, o01, normal -> the double's bit pattern (16 hex digits)

#include "calibration/rng.hpp"

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"

using vardex::calibration::ChaCha8;

using native_check::check;

namespace {

std::string fmt(const char* f, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, f, args...);
    return buf;
}

std::vector<std::uint32_t> raw_keystream(const ChaCha8& g, std::size_t n) {
    std::vector<std::uint32_t> w;
    std::uint32_t blk[16];
    for (std::uint64_t c = 0; w.size() < n; ++c) {
        ChaCha8::block(g.key(), c, 0, 8, blk);
        w.insert(w.end(), blk, blk + 16);
    }
    w.resize(n);
    return w;
}

void check_rfc8439_block() {
    // RFC 8439 2.3.2 lays the state out as counter (word 12) and a 96-bit nonce in words 13..15.
    // Our block function takes a 64-bit counter in words 12 (low) / 13 (high) and a 64-bit stream id
    // in words 14 (low) / 15 (high). The nonce bytes 00:00:00:09 | 00:00:00:4a | 00:00:00:00 read as
    // little-endian words give 0x09000000, 0x4a000000, 0, so: counter = 0x09000000'00000001,
    // stream = 0x00000000'4a000000.
    std::array<std::uint32_t, 8> key{};
    for (int i = 0; i < 8; ++i) {
        const std::uint32_t b = 4 * i;
        key[i] = b | (b + 1) << 8 | (b + 2) << 16 | (b + 3) << 24;
    }
    const std::uint32_t expected[16] = {
        0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
        0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2,
    };
    std::uint32_t out[16];
    ChaCha8::block(key, (std::uint64_t{0x09000000} << 32) | 1, 0x4a000000, 20, out);
    int bad = -1;
    for (int i = 0; i < 16 && bad < 0; ++i) {
        if (out[i] != expected[i]) bad = i;
    }
    check("chacha20 block matches RFC 8439 2.3.2", bad < 0,
          bad < 0 ? "" : fmt("word %d = %08x, expected %08x", bad, out[bad], expected[bad]));
}

void check_ziggurat_tables() {
    const auto& t = vardex::calibration::detail::ziggurat_tables();
    const double r = 3.654152885361009;
    const double x0 = 3.91075795953709;
    check("ziggurat X[0], X[1] = R", t.x[0] == x0 && t.x[1] == r, fmt("%.17g %.17g", t.x[0], t.x[1]));
    check("ziggurat X[2], X[3] exact", t.x[2] == 3.4492782985609645 && t.x[3] == 3.320244733839166,
          fmt("%.17g %.17g", t.x[2], t.x[3]));
    check("ziggurat X[256] = 0, F[256] = 1", t.x[256] == 0.0 && t.f[256] == 1.0,
          fmt("%.17g %.17g", t.x[256], t.f[256]));
    // The quoted F[0] has 15 significant digits; the table holds the double exp(-X0^2/2).
    const double f0 = std::exp(-x0 * x0 / 2.0);
    check("ziggurat F[0]", t.f[0] == f0 && std::fabs(t.f[0] - 0.000477467764586655) <= 1e-15 * f0,
          fmt("%.17g", t.f[0]));

    bool monotone = true;
    for (int i = 0; i < 256; ++i) {
        monotone = monotone && t.x[i + 1] < t.x[i] && t.f[i + 1] > t.f[i] && std::isfinite(t.x[i]);
    }
    check("ziggurat tables strictly monotone and finite", monotone);

    // Every layer i >= 1 has the same area V = X0 * F[1]; the top one closes on (0, 1) only approximately.
    const double v = x0 * std::exp(-r * r / 2.0);
    double worst = 0.0;
    for (int i = 1; i <= 254; ++i) {
        worst = std::fmax(worst, std::fabs(t.x[i] * (t.f[i + 1] - t.f[i]) / v - 1.0));
    }
    const double top = std::fabs(t.x[255] * (1.0 - t.f[255]) / v - 1.0);
    check("ziggurat layers have equal area", worst < 1e-12 && top < 1e-8, fmt("worst %g, top %g", worst, top));
}

void check_keystream_and_refills() {
    for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{0x0123456789abcdef}}) {
        ChaCha8 g = ChaCha8::from_seed(seed);
        const auto raw = raw_keystream(g, 400);
        int bad = -1;
        for (int i = 0; i < 200 && bad < 0; ++i) {
            if (g.next_u32() != raw[i]) bad = i;
        }
        check(fmt("seed %" PRIx64 ": next_u32 follows the block counter", seed).c_str(), bad < 0,
              fmt("word %d differs", bad));

        // One u32 leaves an odd offset, so every refill falls inside a u64.
        ChaCha8 h = ChaCha8::from_seed(seed);
        bool ok = h.next_u32() == raw[0];
        std::size_t pos = 1;
        for (int j = 0; j < 150 && ok; ++j, pos += 2) {
            ok = h.next_u64() == ((std::uint64_t{raw[pos + 1]} << 32) | raw[pos]);
        }
        ok = ok && h.next_u32() == raw[pos];
        check(fmt("seed %" PRIx64 ": u64 draws across refills are consecutive words", seed).c_str(), ok,
              fmt("mismatch near word %zu", pos));
    }

    ChaCha8 a = ChaCha8::from_seed(7);
    ChaCha8 b = ChaCha8::from_seed(8);
    check("different seeds give different keys", a.key() != b.key() && a.next_u64() != b.next_u64());
}

void check_below() {
    // k = 1: the low half never exceeds 2^32 - 1, so exactly one word per call.
    {
        ChaCha8 g = ChaCha8::from_seed(11);
        ChaCha8 ref = ChaCha8::from_seed(11);
        bool zero = true;
        for (int i = 0; i < 130; ++i) zero = zero && g.below(1) == 0;
        for (int i = 0; i < 130; ++i) ref.next_u32();
        check("below(1) is 0 and consumes one word", zero && g.next_u32() == ref.next_u32());
    }
    {
        ChaCha8 g = ChaCha8::from_seed(11);
        ChaCha8 ref = ChaCha8::from_seed(11);
        check("below(0) returns 0 without drawing", g.below(0) == 0 && g.next_u32() == ref.next_u32());
    }

    const std::uint64_t ks[] = {2, 3, 7, 1000, (1ull << 31) + 1, (1ull << 32) - 1, 1ull << 32,
                                (1ull << 32) + 1, 3ull * (1ull << 40) + 7, 1ull << 63, ~0ull};
    for (std::uint64_t k : ks) {
        ChaCha8 g = ChaCha8::from_seed(k);
        const int n = 20000;
        bool in_range = true;
        int upper_half = 0;  // draws >= k / 2, about half of them
        for (int i = 0; i < n; ++i) {
            const std::uint64_t v = g.below(k);
            in_range = in_range && v < k;
            if (v >= k - k / 2) ++upper_half;
        }
        // For k = 3, 7 the halves are unequal: compare with the exact share.
        const double share = static_cast<double>(k / 2) / static_cast<double>(k);
        const double frac = static_cast<double>(upper_half) / n;
        check(fmt("below(%" PRIu64 ") stays in range and is balanced", k).c_str(),
              in_range && std::fabs(frac - share) < 0.02, fmt("in range %d, upper share %.4f vs %.4f",
                                                                in_range, frac, share));
    }
    {
        ChaCha8 g = ChaCha8::from_seed(5);
        int counts[3] = {0, 0, 0};
        for (int i = 0; i < 30000; ++i) ++counts[g.below(3)];
        bool ok = true;
        for (int c : counts) ok = ok && std::abs(c - 10000) < 500;
        check("below(3) is uniform", ok, fmt("%d %d %d", counts[0], counts[1], counts[2]));
    }
}

void check_uniforms() {
    ChaCha8 g = ChaCha8::from_seed(99);
    const int n = 200000;
    bool r53 = true, r52 = true, r01 = true;
    double s53 = 0.0, s52 = 0.0, s01 = 0.0;
    for (int i = 0; i < n; ++i) {
        const double a = g.uniform53();
        const double b = g.uniform52();
        const double c = g.open01();
        // Grids: multiples of 2^-53, of 2^-52, and odd multiples of 2^-53.
        r53 = r53 && a >= 0.0 && a < 1.0 && std::ldexp(a, 53) == std::floor(std::ldexp(a, 53));
        r52 = r52 && b >= 0.0 && b < 1.0 && std::ldexp(b, 52) == std::floor(std::ldexp(b, 52));
        r01 = r01 && c > 0.0 && c < 1.0 && std::fmod(std::ldexp(c, 53), 2.0) == 1.0;
        s53 += a;
        s52 += b;
        s01 += c;
    }
    check("uniform53 in [0, 1) on the 2^-53 grid", r53 && std::fabs(s53 / n - 0.5) < 0.005);
    check("uniform52 in [0, 1) on the 2^-52 grid", r52 && std::fabs(s52 / n - 0.5) < 0.005);
    check("open01 in (0, 1), odd multiples of 2^-53", r01 && std::fabs(s01 / n - 0.5) < 0.005);
}

void check_normal_moments() {
    ChaCha8 g = ChaCha8::from_seed(2024);
    const int n = 1000000;
    double s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0;
    int beyond_r = 0, beyond_1 = 0, negative = 0;
    bool finite = true;
    for (int i = 0; i < n; ++i) {
        const double x = g.standard_normal();
        finite = finite && std::isfinite(x);
        s1 += x;
        s2 += x * x;
        s3 += x * x * x;
        s4 += x * x * x * x;
        if (std::fabs(x) > 3.654152885361009) ++beyond_r;
        if (std::fabs(x) > 1.0) ++beyond_1;
        if (x < 0.0) ++negative;
    }
    const double mean = s1 / n;
    const double var = s2 / n - mean * mean;
    const double skew = s3 / n;
    const double kurt = s4 / n;
    check("standard_normal mean, variance, skewness, kurtosis",
          finite && std::fabs(mean) < 0.005 && std::fabs(var - 1.0) < 0.01 && std::fabs(skew) < 0.015 &&
              std::fabs(kurt - 3.0) < 0.05,
          fmt("mean %g var %g skew %g kurt %g", mean, var, skew, kurt));
    // P(|X| > 1) = 0.3173; P(|X| > R) = 2.58e-4, i.e. about 258 tail draws.
    check("standard_normal tail and sign frequencies",
          std::fabs(beyond_1 / static_cast<double>(n) - 0.3173) < 0.003 && beyond_r > 180 && beyond_r < 340 &&
              std::abs(negative - n / 2) < 2500,
          fmt("|x|>1: %d, |x|>R: %d, negative: %d", beyond_1, beyond_r, negative));
}

void print_double(double v) {
    std::printf("%016" PRIx64 "\n", std::bit_cast<std::uint64_t>(v));
}

int replay(std::uint64_t seed) {
    ChaCha8 g = ChaCha8::from_seed(seed);
    char op[32];
    while (std::scanf("%31s", op) == 1) {
        const std::string s = op;
        if (s == "key") {
            for (std::size_t i = 0; i < 8; ++i) std::printf(i ? " %08" PRIx32 : "%08" PRIx32, g.key()[i]);
            std::printf("\n");
        } else if (s == "u32") {
            std::printf("%08" PRIx32 "\n", g.next_u32());
        } else if (s == "u64") {
            std::printf("%016" PRIx64 "\n", g.next_u64());
        } else if (s == "u53") {
            print_double(g.uniform53());
        } else if (s == "u52") {
            print_double(g.uniform52());
        } else if (s == "o01") {
            print_double(g.open01());
        } else if (s == "normal") {
            print_double(g.standard_normal());
        } else if (s == "below") {
            std::uint64_t k = 0;
            if (std::scanf("%" SCNu64, &k) != 1) return 2;
            std::printf("%" PRIu64 "\n", g.below(k));
        } else {
            std::fprintf(stderr, "unknown command %s\n", op);
            return 2;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "replay") == 0) {
        return replay(std::strtoull(argv[2], nullptr, 0));
    }
    check_rfc8439_block();
    check_ziggurat_tables();
    check_keystream_and_refills();
    check_below();
    check_uniforms();
    check_normal_moments();
    return native_check::report();
}
