// The variations tried on a rectangle that does not validate, best score kept.
#include "detector/improve_rect.hpp"

#include <initializer_list>
#include <numbers>

#include "detector/nfa.hpp"

namespace trevalin {

double improve_rect(Rect& rect, const Px* field, std::uint64_t width, std::uint64_t height, float rho,
                    double log_nt, NfaMemo* memo) {
    auto score_of = [&](std::uint64_t n, std::uint64_t k, double p) {
        return memo ? (*memo)(n, k, p) : binomial_log_nfa(n, k, p, log_nt);
    };
    auto score = [&](const Rect& v) {
        const AlignedCount c = count_aligned(v, field, width, height, rho);
        return score_of(c.n, c.k, v.p);
    };
    double best = score(rect);
    if (best > 0.0) return best;

    // An equal score, or one that is not a number, does not replace the best.
    auto offer = [&](const Rect& v, double s) {
        if (s > best) {
            best = s;
            rect = v;
        }
    };
    auto attempt = [&](const Rect& v) { offer(v, score(v)); };

    // Halve p five times from the rectangle as it stands, whichever tries win.
    // The tries share the rectangle's pixels: they are counted in one pass.
    auto finer_tolerance = [&] {
        const Rect start = rect;
        double q[kTolerances], precs[kTolerances];
        double p = start.p;
        for (std::size_t i = 0; i < kTolerances; ++i) {
            p = p * 0.5;
            q[i] = p;
            precs[i] = std::numbers::pi * p;
        }
        std::uint64_t k[kTolerances];
        const std::uint64_t n = count_aligned_tolerances(start, precs, field, width, height, rho, k);
        for (std::size_t i = 0; i < kTolerances; ++i) {
            Rect v = start;
            v.p = q[i];
            v.prec = precs[i];
            offer(v, score_of(n, k[i], q[i]));
        }
    };

    finer_tolerance();
    if (best > 0.0) return best;

    // Narrower by 0.5 up to five times while at least 0.5 wide. The tries
    // share the rectangle's centre line and axis: they are counted in one pass.
    {
        const Rect start = rect;
        double widths[kWidths];
        double w = start.width;
        for (std::size_t i = 0; i < kWidths; ++i) {
            w = w - 0.5;
            widths[i] = w;
        }
        AlignedCount c[kWidths];
        count_aligned_widths(start, widths, field, width, height, rho, c);
        for (std::size_t i = 0; i < kWidths; ++i) {
            if (widths[i] < 0.5) break;
            Rect v = start;
            v.width = widths[i];
            offer(v, score_of(c[i].n, c[i].k, v.p));
        }
    }
    if (best > 0.0) return best;

    // Narrowing by 0.5 while moving the centre line a quarter along the normal
    // keeps one long side in place and moves the other one inwards.
    for (const double side : {1.0, -1.0}) {
        const double shift_x = side * -rect.dy * 0.5 * 0.5;
        const double shift_y = side * rect.dx * 0.5 * 0.5;
        Rect v = rect;
        for (int i = 0; i < 5; ++i) {
            v.width = v.width - 0.5;
            if (v.width < 0.5) break;
            v.x1 += shift_x;
            v.y1 += shift_y;
            v.x2 += shift_x;
            v.y2 += shift_y;
            attempt(v);
        }
        if (best > 0.0) return best;
    }

    finer_tolerance();
    return best;
}

}  // namespace trevalin
