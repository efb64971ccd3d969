#pragma once
// Numbers as Segment's repr writes them: fixed point with one decimal,
// correctly rounded from the exact binary value (exact ties to even), never
// an exponent, the sign kept for negative zero, "NaN", "inf", "-inf".

#include <charconv>
#include <cmath>
#include <string>

namespace trevalin {

inline void append_fixed_one(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    char buf[400];  // the largest double has 309 integer digits
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 1);
    out.append(buf, r.ptr);
}

}  // namespace trevalin
