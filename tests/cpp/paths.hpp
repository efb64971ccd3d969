#pragma once
// Pinning the kernels to one instruction set, for the tests that run on
// every kernel path. A test either is a TEST_CASE_TEMPLATE(..., P, EVERY_PATH)
// opening with `test_paths::HoldPath hold(P::isa); if (!hold.runs) return;`,
// or loops `for (Isa isa : test_paths::offered_paths()) { HoldPath hold(isa); ... }`.
// A path this machine cannot run is reported as skipped, never passed unseen.

#include <string>
#include <vector>

#include <doctest/doctest.h>

#include "sample/isa.hpp"

namespace test_paths {

// Every kernel path, narrowest first.
inline constexpr trevalin::Isa kEveryPath[] = {trevalin::Isa::Scalar, trevalin::Isa::Avx2, trevalin::Isa::Avx512};

template <trevalin::Isa I>
struct Path {
    static constexpr trevalin::Isa isa = I;
};
#define EVERY_PATH                                                                   \
    test_paths::Path<test_paths::kEveryPath[0]>, test_paths::Path<test_paths::kEveryPath[1]>, \
        test_paths::Path<test_paths::kEveryPath[2]>

inline const char* path_name(trevalin::Isa isa) {
    return isa == trevalin::Isa::Avx512 ? "AVX-512" : isa == trevalin::Isa::Avx2 ? "AVX2" : "scalar";
}

// Whether neither the CPU nor the build keeps the path from running here;
// one that cannot run is reported as skipped.
inline bool offered(trevalin::Isa isa) {
    if (isa <= trevalin::detected_isa()) return true;
    MESSAGE((std::string("skipped: the ") + path_name(isa) + " path is not offered here"));
    return false;
}

// The paths this machine runs, each of the others reported once as skipped.
inline std::vector<trevalin::Isa> offered_paths() {
    std::vector<trevalin::Isa> out;
    for (trevalin::Isa isa : kEveryPath)
        if (offered(isa)) out.push_back(isa);
    return out;
}

// Holds every kernel to one instruction set for a scope; `runs` is false
// where the path is not offered here, and the case is reported as skipped.
class HoldPath {
public:
    explicit HoldPath(trevalin::Isa isa) : runs(offered(isa)) { trevalin::cap_isa(isa); }
    ~HoldPath() { trevalin::cap_isa(trevalin::Isa::Avx512); }
    HoldPath(const HoldPath&) = delete;
    HoldPath& operator=(const HoldPath&) = delete;
    const bool runs;
};

}  // namespace test_paths
