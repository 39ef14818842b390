// Seeded generator of the optimisers: a ChaCha8 keystream keyed from the seed by PCG32.
#pragma once

#include <array>
#include <cstdint>

namespace vardex::calibration {

class ChaCha8 {
public:
    static ChaCha8 from_seed(std::uint64_t seed);

    std::uint32_t next_u32();
    std::uint64_t next_u64();   // two consecutive words, the first as the low half
    double uniform53();         // [0, 1)
    double uniform52();         // [0, 1)
    double open01();            // (0, 1)
    std::uint64_t below(std::uint64_t k);  // [0, k), k >= 1
    double standard_normal();

    const std::array<std::uint32_t, 8>& key() const { return key_; }

    // ChaCha block function with the given number of rounds (8 for the keystream).
    static void block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                      int rounds, std::uint32_t out[16]);

private:
    void refill();

    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, 64> buffer_{};
    std::size_t index_ = 64;
};

namespace detail {
// Ziggurat layer tables of standard_normal (257 entries each), built once; exposed for tests.
struct ZigguratTables {
    std::array<double, 257> x;  // layer right edges, x[1] = R, x[256] = 0
    std::array<double, 257> f;  // exp(-x^2 / 2)
};
const ZigguratTables& ziggurat_tables();
}  // namespace detail

}  // namespace vardex::calibration
