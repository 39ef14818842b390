// Minimal harness of the native self-checking test programs: one line per check, a
// summary line, and the exit code.
#pragma once

#include <cstdio>
#include <string>

namespace native_check {

inline int checks = 0;
inline int failed = 0;

// Bytes outside printable ASCII as \xNN, so the output is plain text.
inline std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

inline void check(const std::string& name, bool ok, const std::string& detail = "") {
    ++checks;
    if (!ok) ++failed;
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", printable(name).c_str(), ok || detail.empty() ? "" : ": ",
                ok ? "" : printable(detail).c_str());
}

// Prints the summary; the program's exit code.
inline int report() {
    std::printf("%d checks, %d failed\n", checks, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace native_check
