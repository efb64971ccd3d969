#include <doctest/doctest.h>

#include <cmath>
#include <limits>
#include <string>

#include "python/fixed_one.hpp"

namespace {
std::string fixed(double v) {
    std::string s;
    trevalin::append_fixed_one(s, v);
    return s;
}
}  // namespace

TEST_CASE("one decimal, exact ties to even, from the binary value") {
    CHECK(fixed(20.25) == "20.2");
    CHECK(fixed(0.75) == "0.8");
    CHECK(fixed(0.25) == "0.2");
    CHECK(fixed(0.35) == "0.3");  // 0.35 is slightly below the tie in binary
    CHECK(fixed(2.0) == "2.0");
    CHECK(fixed(30.5) == "30.5");
    CHECK(fixed(-1.05) == "-1.1");  // -1.05 is slightly beyond the tie
}

TEST_CASE("sign, non-finite values and no exponent") {
    CHECK(fixed(-0.0) == "-0.0");
    CHECK(fixed(-0.04) == "-0.0");
    CHECK(fixed(std::nan("")) == "NaN");
    CHECK(fixed(-std::nan("")) == "NaN");
    CHECK(fixed(std::numeric_limits<double>::infinity()) == "inf");
    CHECK(fixed(-std::numeric_limits<double>::infinity()) == "-inf");
    CHECK(fixed(1e20) == "100000000000000000000.0");
    std::string big = fixed(std::numeric_limits<double>::max());
    CHECK(big.size() == 311);
    CHECK(big.find('e') == std::string::npos);
    CHECK(fixed(1e-300) == "0.0");
}
