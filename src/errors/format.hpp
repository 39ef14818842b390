// Number formatting for messages.
#pragma once

#include <cstdint>
#include <string>

namespace vardex {

// Shortest decimal text that reads back to the same double, never in exponent
// form: 1.0 -> "1", 1e21 -> "1000000000000000000000", -0.0 -> "-0", NaN -> "NaN",
// infinities -> "inf" / "-inf".
std::string format_f64(double v);

inline std::string format_u64(std::uint64_t v) { return std::to_string(v); }

}  // namespace vardex
