#pragma once
// Scoring a rectangle: minus log10 of its number of false alarms under a
// binomial background model.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "detector/types.hpp"

namespace trevalin {

// Probability of an aligned pixel under the background model.
inline constexpr double kAlignedProbability = 0.125;

// log10 of the number of rectangles tested on a width x height image.
double log_nt(std::uint64_t width, std::uint64_t height);

// The smallest region worth fitting: ceil(log_nt / -log10(p)).
std::uint64_t min_region_size(double log_nt);

// Pixels inside a rectangle (n) and, among them, pixels aligned with it (k).
struct AlignedCount {
    std::uint64_t n;
    std::uint64_t k;
};

// Counts the pixels of the width x height field that lie inside `rect`
// (bounds included) and those whose norm is above rho and whose direction is
// within rect.prec of the rectangle's axis (tested in single precision).
AlignedCount count_aligned(const Rect& rect, const Px* field, std::uint64_t width, std::uint64_t height, float rho);

// count_aligned of `rect` with each of kTolerances tolerances in place of
// rect.prec, in one pass: returns the pixels inside and sets k[t] to those
// aligned within precs[t].
constexpr std::size_t kTolerances = 5;
std::uint64_t count_aligned_tolerances(const Rect& rect, const double (&precs)[kTolerances], const Px* field,
                                       std::uint64_t width, std::uint64_t height, float rho,
                                       std::uint64_t (&k)[kTolerances]);

// count_aligned of `rect` with each of kWidths widths in place of
// rect.width: counts[j] for widths[j]. When the widths do not grow they are
// counted in one pass.
constexpr std::size_t kWidths = 5;
void count_aligned_widths(const Rect& rect, const double (&widths)[kWidths], const Px* field, std::uint64_t width,
                          std::uint64_t height, float rho, AlignedCount (&counts)[kWidths]);

// -log_nt - log10 of the probability of k or more aligned pixels among n,
// each aligned with probability p.
double binomial_log_nfa(std::uint64_t n, std::uint64_t k, double p, double log_nt);

// binomial_log_nfa with one log_nt, remembering recent scores. The score is
// a function of the counts and p alone, and most rectangles tried while
// improving one share their counts with an earlier try, so one detection
// call asks for most scores several times. Each score has one slot, chosen
// by a hash of its inputs; a score found there is the one binomial_log_nfa
// gave for the same inputs. Not for concurrent use.
class NfaMemo {
public:
    explicit NfaMemo(double log_nt);
    double operator()(std::uint64_t n, std::uint64_t k, double p);

private:
    struct Slot {
        std::uint64_t n = 0, k = 0, p_bits = 0;
        double score = 0.0;
    };
    static constexpr std::size_t kSlots = 4096;
    double log_nt_;
    std::unique_ptr<Slot[]> slots_;
    // log_gamma(i + 1.0) for the counts i below kLogGammas, NaN until asked
    // for: the scores of one call take them from a few thousand counts.
    static constexpr std::size_t kLogGammas = 4096;
    std::unique_ptr<double[]> log_gammas_;
    double log_gamma_of(std::uint64_t i);
};

// ln(Gamma(x)) for x > 0: Windschitl's approximation from 15 on, Lanczos' below.
double log_gamma(double x);

}  // namespace trevalin
