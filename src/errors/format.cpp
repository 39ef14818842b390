#include "errors/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace vardex {

std::string format_f64(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";

    // The scientific form carries the shortest round-trip digits; the fixed
    // form of to_chars would print the exact binary value of large integers.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

    std::string out;
    std::size_t pos = 0;
    if (sci[0] == '-') {
        out.push_back('-');
        pos = 1;
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (std::size_t i = pos; i < e_pos; ++i)
        if (sci[i] != '.') digits.push_back(sci[i]);
    const int exp10 = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

    // value = 0.d1d2d3... x 10^(exp10 + 1): the decimal point sits after `point` digits.
    const long point = static_cast<long>(exp10) + 1;
    const long nd = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= nd) {
        out += digits;
        out.append(static_cast<std::size_t>(point - nd), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return out;
}

}  // namespace vardex
