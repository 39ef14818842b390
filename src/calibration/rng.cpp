#include "calibration/rng.hpp"

#include <bit>
#include <cmath>

namespace vardex::calibration {

namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};  // "expand 32-byte k"

__extension__ using u128 = unsigned __int128;

inline void quarter_round(std::uint32_t x[16], int a, int b, int c, int d) {
    x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 16);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 12);
    x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 8);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 7);
}

// The [1, 2) double carrying the top 52 bits of a draw as its mantissa.
inline double one_to_two(std::uint64_t bits) {
    return std::bit_cast<double>((bits >> 12) | 0x3FF0000000000000ull);
}

constexpr double kZigR = 3.654152885361009;
constexpr double kZigX0 = 3.91075795953709;

detail::ZigguratTables build_ziggurat() {
    detail::ZigguratTables t{};
    t.x[0] = kZigX0;
    t.x[1] = kZigR;
    const double v = kZigX0 * std::exp(-kZigR * kZigR / 2.0);  // area of each layer
    for (std::size_t i = 1; i <= 254; ++i) {
        t.x[i + 1] = std::sqrt(-2.0 * std::log(v / t.x[i] + std::exp(-t.x[i] * t.x[i] / 2.0)));
    }
    t.x[256] = 0.0;
    for (std::size_t i = 0; i <= 256; ++i) {
        t.f[i] = std::exp(-t.x[i] * t.x[i] / 2.0);
    }
    return t;
}

}  // namespace

namespace detail {
const ZigguratTables& ziggurat_tables() {
    static const ZigguratTables tables = build_ziggurat();  // initialised once, thread-safe
    return tables;
}
}  // namespace detail

ChaCha8 ChaCha8::from_seed(std::uint64_t seed) {
    // PCG32 (XSH-RR): the state is advanced before each output.
    ChaCha8 g;
    std::uint64_t s = seed;
    for (auto& word : g.key_) {
        s = s * 6364136223846793005ull + 11634580027462260723ull;
        const auto x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
        const auto rot = static_cast<int>(s >> 59);
        word = std::rotr(x, rot);
    }
    return g;
}

// Word 12/13 = counter low/high, word 14/15 = stream low/high. `rounds` must be even
// (each pass is a column round then a diagonal round).
void ChaCha8::block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                    int rounds, std::uint32_t out[16]) {
    std::uint32_t input[16];
    for (int i = 0; i < 4; ++i) input[i] = kSigma[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(stream);
    input[15] = static_cast<std::uint32_t>(stream >> 32);

    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    for (int r = 0; r < rounds; r += 2) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

void ChaCha8::refill() {
    for (std::size_t b = 0; b < 4; ++b) {
        block(key_, counter_ + b, 0, 8, buffer_.data() + 16 * b);
    }
    counter_ += 4;
    index_ = 0;
}

std::uint32_t ChaCha8::next_u32() {
    if (index_ >= buffer_.size()) refill();
    return buffer_[index_++];
}

std::uint64_t ChaCha8::next_u64() {
    // Two separate word reads: a refill between them keeps the pair consecutive in the keystream.
    const std::uint64_t lo = next_u32();
    const std::uint64_t hi = next_u32();
    return (hi << 32) | lo;
}

double ChaCha8::uniform53() {
    return static_cast<double>(next_u64() >> 11) * 0x1p-53;
}

double ChaCha8::uniform52() {
    return one_to_two(next_u64()) - 1.0;
}

double ChaCha8::open01() {
    // 1 - 2^-53: the smallest result is 2^-53, the largest 1 - 2^-53, both exact.
    return one_to_two(next_u64()) - 0.9999999999999999;
}

std::uint64_t ChaCha8::below(std::uint64_t k) {
    // k = 0 is a caller bug (empty range); answer 0 without drawing rather than divide or loop.
    if (k == 0) return 0;

    // Widening multiply; when the low half is close enough to wrap, one more draw decides the carry.
    if (k < (1ull << 32)) {
        const std::uint64_t p = static_cast<std::uint64_t>(next_u32()) * k;
        std::uint64_t hi = p >> 32;
        const std::uint64_t lo = p & 0xFFFFFFFFull;
        if (lo > (1ull << 32) - k) {
            const std::uint64_t p2 = static_cast<std::uint64_t>(next_u32()) * k;
            if (lo + (p2 >> 32) >= (1ull << 32)) hi += 1;
        }
        return hi;
    }
    const u128 p = static_cast<u128>(next_u64()) * k;
    std::uint64_t hi = static_cast<std::uint64_t>(p >> 64);
    const std::uint64_t lo = static_cast<std::uint64_t>(p);
    if (lo > 0 - k) {  // 2^64 - k
        const u128 p2 = static_cast<u128>(next_u64()) * k;
        if (static_cast<u128>(lo) + (p2 >> 64) >= (static_cast<u128>(1) << 64)) hi += 1;
    }
    return hi;
}

double ChaCha8::standard_normal() {
    const auto& t = detail::ziggurat_tables();
    for (;;) {
        const std::uint64_t bits = next_u64();
        const std::size_t i = bits & 0xFF;
        const double u = std::bit_cast<double>((bits >> 12) | 0x4000000000000000ull) - 3.0;  // [-1, 1)
        const double x = u * t.x[i];

        if (std::fabs(x) < t.x[i + 1]) return x;

        if (i == 0) {
            // Tail beyond R, sampled by exponential rejection.
            double a;
            double b;
            do {
                a = std::log(open01()) / kZigR;
                b = std::log(open01());
            } while (a * a > -2.0 * b);
            return u < 0.0 ? a - kZigR : kZigR - a;
        }

        if (t.f[i + 1] + (t.f[i] - t.f[i + 1]) * uniform53() < std::exp(-x * x / 2.0)) return x;
    }
}

}  // namespace vardex::calibration
