// The variations tried on a rectangle that does not validate, best score kept.
#include "detector/improve_rect.hpp"

#include <initializer_list>
#include <numbers>

#include "detector/nfa.hpp"

namespace trevalin {

double improve_rect(Rect& rect, const Px* field, std::uint64_t width, std::uint64_t height, float rho,
                    double log_nt, NfaMemo* memo) {
    auto score = [&](const Rect& v) {
        if (!memo) return rect_log_nfa(v, field, width, height, rho, log_nt);
        const AlignedCount c = count_aligned(v, field, width, height, rho);
        return (*memo)(c.n, c.k, v.p);
    };
    double best = score(rect);
    if (best > 0.0) return best;

    // An equal score, or one that is not a number, does not replace the best.
    auto attempt = [&](const Rect& v) {
        const double s = score(v);
        if (s > best) {
            best = s;
            rect = v;
        }
    };

    // Halve p five times from the rectangle as it stands, whichever tries win.
    auto finer_tolerance = [&] {
        const Rect start = rect;
        double q = start.p;
        for (int i = 0; i < 5; ++i) {
            q = q * 0.5;
            Rect v = start;
            v.p = q;
            v.prec = std::numbers::pi * q;
            attempt(v);
        }
    };

    finer_tolerance();
    if (best > 0.0) return best;

    {
        const Rect start = rect;
        double w = start.width;
        for (int i = 0; i < 5; ++i) {
            w = w - 0.5;
            if (w < 0.5) break;
            Rect v = start;
            v.width = w;
            attempt(v);
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
