// The level-line field of the downscaled image, band by band: each band keeps
// its input rows blurred along x in a small ring and its last two downscaled
// rows, so it works in cache however large the image. A thread that goes on
// to the band below takes its ring along, so the rows both bands need are
// blurred once.
#include "detector/downscaled_field.hpp"

#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "detector/downscale.hpp"
#include "sample/memory.hpp"
#include "sample/numeric.hpp"

namespace trevalin {

namespace {

// A band's rows in the making. Field row y needs downscaled rows y and y + 1;
// downscaled row y needs the input rows first_row(y) .. last_row(y), at most
// down.stride of them, and both ends only move down from one row to the
// next. Rows are blurred along x a group at a time, so the ring holds a group
// beyond the taps: input row g lives in slot g % ring.
struct Rows {
    const BlurPlan& plan;
    std::size_t ring;
    Buffer<double> scratch, across, pair;
    Buffer<double*> group;
    Buffer<const double*> lines;
    std::size_t next = 0;  // the next input row to blur along x
    // The downscaled row made last (in pair), once one is.
    std::size_t made = std::numeric_limits<std::size_t>::max();
    bool busy = false;

    explicit Rows(const BlurPlan& p)
        : plan(p),
          ring(p.down.stride + p.group - 1),
          scratch(Buffer<double>::uninitialized(p.scratch_len())),
          across(Buffer<double>::uninitialized(mul_size(ring, p.w_out))),
          pair(Buffer<double>::uninitialized(mul_size(2, p.w_out))),
          group(Buffer<double*>::uninitialized(p.group)),
          lines(Buffer<const double*>::uninitialized(p.down.stride)) {}

    double* slot(std::size_t g) { return across.data() + (g % ring) * plan.w_out; }

    // Downscaled row y, y being `made` or `made + 1`, or any row on a fresh
    // start (`made` unset).
    template <class T>
    const double* downscaled(const T* image, std::size_t y) {
        double* out = pair.data() + (y % 2) * plan.w_out;
        if (y == made) return out;
        if (made == std::numeric_limits<std::size_t>::max()) next = plan.first_row(y);
        for (const std::size_t last = plan.last_row(y); next <= last; next += plan.group) {
            for (std::size_t r = 0; r < plan.group; ++r) group[r] = slot(next + r);
            plan.horizontal(image, next, scratch.data(), group.data());
        }
        plan.vertical(y, [&](std::size_t g) { return slot(g); }, lines.data(), out);
        made = y;
        return out;
    }
};

// The Rows of the bands being built: a band takes those that made its first
// row when they are free (the band above was done on them), else free ones
// started afresh, else new ones.
class RowsShelf {
public:
    explicit RowsShelf(const BlurPlan& plan) : plan_(plan) {}

    Rows& take(std::size_t y0) {
        std::lock_guard<std::mutex> lock(m_);
        Rows* free = nullptr;
        for (const auto& r : all_) {
            if (r->busy) continue;
            if (r->made == y0) return hold(*r);
            free = r.get();
        }
        if (!free) free = all_.emplace_back(std::make_unique<Rows>(plan_)).get();
        free->made = std::numeric_limits<std::size_t>::max();
        return hold(*free);
    }

    void give_back(Rows& r) {
        std::lock_guard<std::mutex> lock(m_);
        r.busy = false;
    }

private:
    static Rows& hold(Rows& r) {
        r.busy = true;
        return r;
    }
    const BlurPlan& plan_;
    std::mutex m_;
    std::vector<std::unique_ptr<Rows>> all_;
};

}  // namespace

template <class T>
DownscaledField downscaled_level_line_field(const T* image, std::uint64_t width, std::uint64_t height, double scale,
                                            float weak, FieldNotes* notes, Isa isa) {
    const BlurPlan plan(width, height, scale, isa);
    const std::size_t w = plan.w_out, h = plan.h_out;
    Buffer<Px> field = Buffer<Px>::uninitialized(mul_size(w, h));
    prefer_huge_pages(field);
    RowsShelf shelf(plan);
    build_field_bands(field.data(), w, h, weak, notes, [&](std::size_t y0, std::size_t y1, auto& note) {
        Rows& rows = shelf.take(y0);
        const double* top = rows.downscaled(image, y0);
        for (std::size_t y = y0; y < y1; ++y) {
            const double* bottom = rows.downscaled(image, y + 1);
            level_line_row(top, bottom, w, weak, field.data() + y * w);
            note(y);
            top = bottom;
        }
        shelf.give_back(rows);
    });
    return {std::move(field), w, h};
}

template DownscaledField downscaled_level_line_field(const std::uint8_t*, std::uint64_t, std::uint64_t, double, float,
                                                     FieldNotes*, Isa);
template DownscaledField downscaled_level_line_field(const std::uint16_t*, std::uint64_t, std::uint64_t, double,
                                                     float, FieldNotes*, Isa);
template DownscaledField downscaled_level_line_field(const float*, std::uint64_t, std::uint64_t, double, float,
                                                     FieldNotes*, Isa);
template DownscaledField downscaled_level_line_field(const double*, std::uint64_t, std::uint64_t, double, float,
                                                     FieldNotes*, Isa);

}  // namespace trevalin
