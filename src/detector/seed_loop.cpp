// The seed loop, on one thread or with the pool's threads growing the coming
// seeds ahead of it.
#include "detector/seed_loop.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <span>

#include "detector/detect.hpp"
#include "detector/improve_rect.hpp"
#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "pool/pipeline.hpp"
#include "pool/pool.hpp"
#include "sample/buffer.hpp"

namespace trevalin {

namespace {

// The refinement work that the seeds of one call may do (see RefineCost), per
// pixel of the field and for any field, in eighths of a pixel grown. The
// bundled photographs take at most 2.5 per pixel, concentric rings a few
// pixels apart (the richest in curved edges of the images measured) from 3.3
// at 0.05 to 9.6 at 3 megapixels; gratings near the sampling limit would take
// hundreds to thousands, more the larger the image.
constexpr std::uint64_t kWorkPerPixel = 8 * 10;
constexpr std::uint64_t kWorkAtLeast = 8 * (std::uint64_t{1} << 16);

// What every seed of one call shares.
struct Loop {
    const Px* field;
    std::uint64_t width, height;
    double nt;
    std::uint64_t min_size;
    double cos_tau;
    double factor;
    std::uint64_t budget;  // refinement work after which a thin region is given up as it is
    Buffer<std::uint32_t> seeds;
    UsedBits used;  // the used map, which starts as the map of weak pixels

    Loop(const Px* f, std::uint64_t w, std::uint64_t h, FieldNotes& notes, double fac)
        : field(f),
          width(w),
          height(h),
          nt(log_nt(w, h)),
          min_size(min_region_size(nt)),
          cos_tau(std::cos(kTau)),
          factor(fac),
          budget(kWorkAtLeast + kWorkPerPixel * w * h),
          seeds(seeds_by_notes(notes, w * h, kRho)),
          used(std::move(notes.weak), w * h) {
        notes.strong = Buffer<std::uint32_t>();
    }
};

// The refinement work of the seeds in seed order up to the one at hand, and
// what the refinement of the seed at hand was allowed and did.
struct WorkSpent {
    std::uint64_t budget, spent = 0;
    RefineCost cost;
    static std::uint64_t left(std::uint64_t budget, std::uint64_t spent) { return spent < budget ? budget - spent : 0; }
};

// Grows, fits and refines from the free pixel `seed`; `region` ends as the
// pixels the seed leaves taken. True with `rect` set when the refined
// rectangle is worth scoring.
// Refinement is allowed what is left of `work`'s budget, and adds its work.
template <class Used>
bool grow_rect(const Loop& in, std::uint32_t seed, Used& used, std::vector<std::uint32_t>& region, WorkSpent& work,
               Rect& rect) {
    work.cost = RefineCost{.allowance = WorkSpent::left(work.budget, work.spent)};
    const DirectionSum sum = grow_region_sum(seed, in.field, used, region, in.cos_tau, in.width, in.height);
    if (region.size() < in.min_size) return false;
    rect = region_to_rect(region, in.field, in.width, sum.angle(), kAlignedProbability);
    const bool kept = refine(region, rect, used, in.field, in.min_size, in.width, in.height, work.cost);
    work.spent += work.cost.work;
    return kept;
}

// The segment of a scored rectangle.
Segment segment_of(const Loop& in, const Rect& rect, double score) {
    // Field coordinates name the top-left pixel of a 2 x 2 block; +0.5 is its centre.
    return Segment{(rect.x1 + 0.5) * in.factor, (rect.y1 + 0.5) * in.factor, (rect.x2 + 0.5) * in.factor,
                   (rect.y2 + 0.5) * in.factor, rect.width * in.factor, rect.p, score};
}

// grow_rect, then scoring. True with `out` set when the rectangle scores as
// a segment.
template <class Used>
bool from_seed(const Loop& in, std::uint32_t seed, Used& used, std::vector<std::uint32_t>& region, NfaMemo& memo,
               WorkSpent& work, Segment& out) {
    Rect rect;
    if (!grow_rect(in, seed, used, region, work, rect)) return false;
    const double score = improve_rect(rect, in.field, in.width, in.height, kRho, in.nt, &memo);
    if (!(score > 0.0)) return false;
    out = segment_of(in, rect, score);
    return true;
}

// Seeds jump across the image, so every growth starts on cold memory. The
// seed order is known in advance: a cursor runs ahead of the loop and
// fetches the neighbourhoods of the next kAhead seeds that look free. Most
// seeds are taken by the time the loop reaches them, so the lead is counted
// in seeds that looked free and still lie ahead of the loop (a later growth
// may take them, which only wastes a fetch): their places in the seed order
// wait in a small ring until the loop passes them.
class SeedFetcher {
public:
    SeedFetcher(const Loop& in, const UsedBits& used, std::size_t end) : in_(in), used_(used), end_(end) {}

    // Called as the loop grows from the seed at place j.
    void ahead_of(std::size_t j) {
        while (ring_first_ != ring_end_ && ring_[ring_first_ % kRingSize] <= j) ++ring_first_;
        if (cursor_ <= j) cursor_ = j + 1;
        const std::size_t width = in_.width, pixels = in_.width * in_.height;
        for (; ring_end_ - ring_first_ < kAhead && cursor_ < end_; ++cursor_) {
            const std::size_t s = in_.seeds[cursor_];
            if (used_.taken(s)) continue;
            ring_[ring_end_++ % kRingSize] = cursor_;
            fetch_row(s);
            // Growth looks at the used bits one and two rows away first.
            if (s >= width) {
                fetch_row(s - width);
                used_.fetch(s - width);
                if (s >= 2 * width) used_.fetch(s - 2 * width);
            }
            if (s + width < pixels) {
                fetch_row(s + width);
                used_.fetch(s + width);
                if (s + 2 * width < pixels) used_.fetch(s + 2 * width);
            }
        }
    }

private:
    // The three records around `centre` (which may straddle two lines).
    void fetch_row(std::size_t centre) const {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(in_.field + centre);
        __builtin_prefetch(reinterpret_cast<const void*>(at - sizeof(Px)));
        __builtin_prefetch(reinterpret_cast<const void*>(at + 2 * sizeof(Px) - 1));
    }

    static constexpr std::size_t kAhead = 12, kRingSize = 16;
    static_assert(kAhead <= kRingSize && (kRingSize & (kRingSize - 1)) == 0);
    const Loop& in_;
    const UsedBits& used_;
    std::size_t end_;
    std::size_t ring_[kRingSize];
    std::size_t ring_first_ = 0, ring_end_ = 0;  // running counts; entries are taken modulo kRingSize
    std::size_t cursor_ = 0;                     // the next place in the seed order the cursor looks at
};

// Calls grow(j, seed) for each place j in [begin, end) of the seed order
// whose seed is free in `used`, fetching the neighbourhoods of the coming
// seeds of the range ahead of the growths. The fetcher stops at `end`: the
// range after a stretch is mostly grown on another core, whose caches it
// would not warm.
template <class Grow>
void each_free_seed(const Loop& in, const UsedBits& used, std::size_t begin, std::size_t end, Grow&& grow) {
    SeedFetcher fetcher(in, used, end);
    for (std::size_t j = begin; j < end; ++j) {
        const std::uint32_t seed = in.seeds[j];
        if (used.taken(seed)) continue;
        fetcher.ahead_of(j);
        grow(j, seed);
    }
}

// The plain loop, on the calling thread.
std::vector<Segment> sequential_loop(Loop& in) {
    std::vector<Segment> found;
    std::vector<std::uint32_t> region;
    NfaMemo memo(in.nt);
    WorkSpent work{in.budget};
    each_free_seed(in, in.used, 0, in.seeds.size(), [&](std::size_t, std::uint32_t seed) {
        Segment segment;
        if (from_seed(in, seed, in.used, region, memo, work, segment)) found.push_back(segment);
    });
    return found;
}

// The plain loop with the rectangles scored on other threads: scoring reads
// only the field, never the used map, so the loop goes on while the pool
// scores what it refined; the segments are collected in seed order.
std::vector<Segment> scoring_aside(Loop& in, std::size_t ring) {
    struct Candidate {
        Rect rect;
        double score;
    };
    std::vector<Segment> found;
    pipeline<Candidate>(
        ring,
        [&](auto push) {
            std::vector<std::uint32_t> region;
            WorkSpent work{in.budget};
            each_free_seed(in, in.used, 0, in.seeds.size(), [&](std::size_t, std::uint32_t seed) {
                Rect rect;
                if (grow_rect(in, seed, in.used, region, work, rect)) push(Candidate{rect, 0.0});
            });
        },
        [&](Candidate& c) { c.score = improve_rect(c.rect, in.field, in.width, in.height, kRho, in.nt); },
        [&](Candidate c) {
            if (c.score > 0.0) found.push_back(segment_of(in, c.rect, c.score));
        });
    return found;
}

// A count that other threads wait for. Waiting spins a while, then sleeps;
// a store wakes the sleepers, if there are any. Most waits end while
// spinning, and a wake costs an atomic update shared by both cores besides
// the system call, so a store without sleepers skips it. (The sleeper counts
// itself before it looks at the value, the writer stores before it looks at
// the sleepers, both sequentially consistent: one of them sees the other.)
class Signal {
public:
    std::size_t load() const { return value_.load(std::memory_order_acquire); }

    void store(std::size_t v) {
        value_.store(v, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) != 0) value_.notify_all();
    }

    // Waits until the value is no longer `seen`, and returns it.
    std::size_t wait_past(std::size_t seen) {
        for (int spin = 0; spin < 2048; ++spin) {
            const std::size_t v = load();
            if (v != seen) return v;
            spin_pause();
        }
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        std::size_t v;
        while ((v = value_.load(std::memory_order_seq_cst)) == seen) value_.wait(seen, std::memory_order_seq_cst);
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
        return v;
    }

private:
    std::atomic<std::size_t> value_{0};
    std::atomic<int> sleepers_{0};
};

// Seeds go ahead in stretches of this many places of the seed order.
constexpr std::size_t kStretch = 64;

// What one seed grown ahead gave: the pixels it took at any time end at
// joined_end of the stretch's list, where the previous seed's end. Most
// growths leave taken exactly the pixels they took (`same`); the others'
// pixels left taken end at marks_end of the marks list likewise. A seed that
// found a segment has it next in the stretch's segments.
// Its refinement's work counts towards the loop's budget. A seed whose region
// was too thin at first went as it would in the loop when its refinement
// stopped on the allowance that the loop gives it, or finished within it.
struct Speculated {
    std::uint32_t place;
    std::uint32_t joined_end, marks_end;
    bool same, found, thin, cut_short;
    std::uint64_t work, allowance;
};

struct Stretch {
    std::vector<Speculated> seeds;
    std::vector<std::uint32_t> joined;
    std::vector<std::uint32_t> marks;
    std::vector<Segment> segments;
    std::uint64_t work = 0;             // the refinement work of its seeds
    bool failed = false;                // the stretch could not be grown ahead: the loop grows it itself
    Signal ready;  // stretch number + 1 once the lists are complete

    // The pixels that seed e took, and those it left taken, where the
    // previous seed's lists end at `joined` and `marks`.
    std::span<const std::uint32_t> took(const Speculated& e, std::uint32_t joined) const {
        return {this->joined.data() + joined, e.joined_end - joined};
    }
    std::span<const std::uint32_t> kept(const Speculated& e, std::uint32_t joined, std::uint32_t marks) const {
        return e.same ? took(e, joined) : std::span<const std::uint32_t>(this->marks.data() + marks, e.marks_end - marks);
    }
};

// The pixels the loop has taken, in the order it took them. A pixel is taken
// once at most, so the log never holds more entries than the map has pixels.
// The loop's thread appends; others read up to `size`.
struct TakenLog {
    UsedBits start;  // the used map before the loop took anything
    Buffer<std::uint32_t> pixels;
    std::size_t appended = 0;  // the loop's thread only
    std::atomic<std::size_t> size{0};
    std::atomic<std::uint64_t> spent{0};  // the loop's refinement work when it published

    TakenLog(const UsedBits& used, std::size_t n) : start(used.copy()), pixels(Buffer<std::uint32_t>::uninitialized(n)) {}
    void append(std::span<const std::uint32_t> taken) {
        // An empty list may have no storage at all, which memcpy may not be given.
        if (taken.empty()) return;
        std::memcpy(pixels.data() + appended, taken.data(), taken.size() * sizeof(std::uint32_t));
        appended += taken.size();
    }
    void publish(std::uint64_t work) {
        spent.store(work, std::memory_order_relaxed);
        size.store(appended, std::memory_order_release);
    }
    // Takes entries [from, to) in `map`.
    void replay(UsedBits& map, std::size_t from, std::size_t to) const {
        const std::uint32_t* taken = pixels.data();
        for (std::size_t i = from; i < to; ++i) map.take(taken[i]);
    }
};

// A thread that grows seeds ahead of the loop: its own copy of the used map,
// which it brings up to date from the log before each stretch, and what its
// growths need.
struct Grower {
    UsedBits map;
    std::size_t replayed = 0;  // log entries applied to `map`
    std::vector<std::uint32_t> region;
    NfaMemo memo;

    // The loop's thread changes its map as it goes, also taking and freeing
    // pixels within one growth, so a copy starts from the map before the loop
    // and catches up from the log.
    Grower(const Loop& in, const TakenLog& log) : map(log.start.copy()), memo(in.nt) {}

    void catch_up(const TakenLog& log) {
        const std::size_t end = log.size.load(std::memory_order_acquire);
        log.replay(map, replayed, end);
        replayed = end;
    }
};

// Grows the seeds of stretch k ahead of the loop into `out`, on `map`, which
// holds the loop's map as it stood at some point, when the loop's refinement
// work had reached `spent` (the loop's own may be more by the time it
// reaches the stretch). The growths leave the map as they found it. On
// failure the stretch is marked failed (the loop then grows it itself);
// returns false when the map may then hold marks of the failed growth.
bool grow_stretch(const Loop& in, std::size_t k, std::uint64_t spent, UsedBits& map, std::vector<std::uint32_t>& region,
                  NfaMemo& memo, Stretch& out) {
    out.seeds.clear();
    out.joined.clear();
    out.marks.clear();
    out.segments.clear();
    out.work = 0;
    out.failed = false;
    const std::size_t begin = k * kStretch, end = std::min(in.seeds.size(), begin + kStretch);
    WorkSpent work{in.budget, spent};
    // A stretch's lists hold at most a 32nd of the field's pixels: with
    // two stretches in flight for every thread, a few bytes per pixel.
    SpeculativeUsed view{map, out.joined, in.width * in.height / 32 + 4096};
    try {
        // A seed taken in the map is taken in the loop's map then: the
        // loop's map only gains pixels, and the earlier seeds of the stretch
        // take theirs there too as long as the loop keeps their results.
        each_free_seed(in, map, begin, end, [&](std::size_t j, std::uint32_t seed) {
            const std::size_t joined_begin = out.joined.size();
            Segment segment;
            const bool found = from_seed(in, seed, view, region, memo, work, segment);
            const RefineCost& cost = work.cost;
            if (found) out.segments.push_back(segment);
            // The growth was not redone (which would have joined more pixels
            // than it left taken), so its region is what it joined.
            const bool same = out.joined.size() - joined_begin == region.size();
            if (!same) out.marks.insert(out.marks.end(), region.begin(), region.end());
            out.seeds.push_back(Speculated{static_cast<std::uint32_t>(j), static_cast<std::uint32_t>(out.joined.size()),
                                           static_cast<std::uint32_t>(out.marks.size()), same, found,
                                           cost.thin, cost.cut_short, cost.work, cost.allowance});
            out.work += cost.work;
        });
    } catch (const TooMuchAhead&) {
        out.failed = true;
    } catch (...) {
        out.failed = true;
        return false;
    }
    // Every pixel joined was free before, those left taken with the rest.
    for (std::uint32_t p : out.joined) map.free(p);
    return true;
}

// Stretch k grown ahead on a thread's copy of the map. The copy catches up
// before the stretch only: the log's latest entries were written on the
// loop's core, and reading them after every growth cost more than the few
// growths that a fresher copy saves.
void grow_ahead(const Loop& in, const TakenLog& log, std::size_t k, Grower& g, Stretch& out) {
    g.catch_up(log);
    const bool restored = grow_stretch(in, k, log.spent.load(std::memory_order_relaxed), g.map, g.region, g.memo,
                                       out);
    // The stretch is ready in any case: failed, the loop grows it itself.
    out.ready.store(k + 1);
    if (!restored) {
        // The copy may hold marks of the failed growth: a fresh one replaces it.
        g.map = log.start.copy();
        g.replayed = 0;
    }
}

// The loop's thread: the loop's own growths and the pixels that seeds grown
// ahead took there but not here (suspects), with the map of the suspects and
// their neighbours (`near`).
struct Committer {
    std::vector<std::uint32_t> region;
    NfaMemo memo;
    WorkSpent work;
    UsedBits near;
    std::vector<std::uint32_t> suspects;

    explicit Committer(const Loop& in)
        : memo(in.nt), work{in.budget}, near(Buffer<std::uint64_t>::zeroed(in.width * in.height / 64 + 2), in.width * in.height) {}

    // Calls f with pixel p and each of its neighbours.
    template <class F>
    static void around(const Loop& in, std::uint32_t p, F&& f) {
        const PixelXY at = PixelGrid(in.width).xy(p);
        const std::size_t x0 = at.x > 0 ? at.x - 1 : 0, x1 = std::min<std::size_t>(at.x + 1, in.width - 1);
        const std::size_t y0 = at.y > 0 ? at.y - 1 : 0, y1 = std::min<std::size_t>(at.y + 1, in.height - 1);
        for (std::size_t y = y0; y <= y1; ++y)
            for (std::size_t x = x0; x <= x1; ++x) f(y * in.width + x);
    }

    void suspect(const Loop& in, std::uint32_t p) {
        around(in, p, [&](std::size_t q) { near.take(q); });
        suspects.push_back(p);
    }

    // Forgets the suspects; every marked pixel lies around one of them.
    void clear_suspects(const Loop& in) {
        for (std::uint32_t p : suspects) around(in, p, [&](std::size_t q) { near.free(q); });
        suspects.clear();
    }
};

// The loop reaches stretch k and takes its seeds in order. A seed's result
// grown ahead is kept when the pixels it took are still free and the pixels
// it found taken are taken here too. The latter holds for the loop's map as
// it was then (the map only gains pixels) and for the marks of the earlier
// seeds of the stretch that were kept; a seed grown again here may leave
// free a pixel that it took ahead (a suspect), and a later seed that took a
// pixel next to a suspect, and so may have looked at it, is grown again too,
// as is a seed passed over ahead that is free here.
void commit(Loop& in, TakenLog& log, std::size_t k, Stretch& s, Committer& c, std::vector<Segment>& found,
            SeedLoopCounts& counts) {
    auto take = [&](std::span<const std::uint32_t> kept) {
        for (std::uint32_t p : kept) in.used.take(p);
        log.append(kept);
    };
    // A seed grown ahead did as the budget asks of it when the loop's work
    // had reached `spent`.
    auto as_asked = [&](const Speculated& e, std::uint64_t spent) {
        if (!e.thin) return true;
        const std::uint64_t allowance = WorkSpent::left(in.budget, spent);
        return e.cut_short ? e.allowance == allowance : e.work <= allowance;
    };
    auto all_as_asked = [&] {
        std::uint64_t spent = c.work.spent;
        for (const Speculated& e : s.seeds) {
            if (!as_asked(e, spent)) return false;
            spent += e.work;
        }
        return true;
    };
    // Almost every stretch comes through whole: when no pixel that any of its
    // seeds took is taken here, every seed is kept, in order. (A seed took no
    // pixel that an earlier seed of the stretch left taken, so checking them
    // all before taking any decides as the checks one seed at a time do.)
    if (!s.failed && all_free(in.used, s.joined) && all_as_asked()) {
        if (s.marks.empty()) {
            // No growth was redone: the seeds left taken all they joined.
            take(s.joined);
        } else {
            std::uint32_t joined = 0, marks = 0;
            for (const Speculated& e : s.seeds) {
                take(s.kept(e, joined, marks));
                joined = e.joined_end;
                marks = e.marks_end;
            }
        }
        found.insert(found.end(), s.segments.begin(), s.segments.end());
        counts.kept += s.seeds.size();
        c.work.spent += s.work;
        log.publish(c.work.spent);
        return;
    }
    auto regrow = [&](std::size_t j) {
        const std::uint32_t seed = in.seeds[j];
        if (in.used.taken(seed)) return;
        Segment segment;
        if (from_seed(in, seed, in.used, c.region, c.memo, c.work, segment)) found.push_back(segment);
        log.append(c.region);
        ++counts.regrown;
    };
    const std::size_t begin = k * kStretch, end = std::min(in.seeds.size(), begin + kStretch);
    std::size_t next = 0;  // the next seed grown ahead
    std::uint32_t joined = 0, marks = 0;
    const Segment* segment = s.segments.data();
    for (std::size_t j = begin; j < end; ++j) {
        if (s.failed || next == s.seeds.size() || s.seeds[next].place != j) {
            // Passed over ahead as taken: taken here too, unless a seed grown
            // again here left it free.
            if (s.failed || !c.suspects.empty()) regrow(j);
            continue;
        }
        const Speculated& e = s.seeds[next++];
        const std::span<const std::uint32_t> took = s.took(e, joined), kept = s.kept(e, joined, marks);
        joined = e.joined_end;
        marks = e.marks_end;
        // No pixel it took may be near a suspect either.
        if (all_free(in.used, took) && (c.suspects.empty() || all_free(c.near, took)) && as_asked(e, c.work.spent)) {
            take(kept);
            if (e.found) found.push_back(*segment++);
            c.work.spent += e.work;
            ++counts.kept;
            continue;
        }
        if (e.found) ++segment;
        if (in.used.taken(in.seeds[j])) ++counts.dropped;
        regrow(j);
        for (std::uint32_t p : kept)
            if (!in.used.taken(p)) c.suspect(in, p);
    }
    c.clear_suspects(in);
    log.publish(c.work.spent);
}

// Stretch k grown by the loop itself, on its own map.
void plain_stretch(Loop& in, TakenLog& log, std::size_t k, Committer& c, std::vector<Segment>& found) {
    const std::size_t begin = k * kStretch, end = std::min(in.seeds.size(), begin + kStretch);
    each_free_seed(in, in.used, begin, end, [&](std::size_t, std::uint32_t seed) {
        Segment segment;
        if (from_seed(in, seed, in.used, c.region, c.memo, c.work, segment)) found.push_back(segment);
        log.append(c.region);
    });
    log.publish(c.work.spent);
}

// With `timed`, counts.commit_seconds adds up the time of taking stretches in.
std::vector<Segment> loop_with_pool(Loop& in, std::size_t ahead, SeedLoopCounts& counts, bool timed, bool all_ahead) {
    const std::size_t stretches = (in.seeds.size() + kStretch - 1) / kStretch;
    const std::size_t ring = std::max<std::size_t>(ahead, 1);
    const std::unique_ptr<Stretch[]> slots(new Stretch[ring]);
    TakenLog log(in.used, in.width * in.height);
    std::atomic<std::size_t> claimed{0};
    Signal committed;
    std::atomic<bool> stop{false};
    std::vector<Segment> found;

    // The next stretch nobody has taken, if it lies within `ring` of the
    // stretch the loop is at.
    auto claim = [&](std::size_t& k) {
        std::size_t c = claimed.load(std::memory_order_relaxed);
        for (;;) {
            const std::size_t limit = std::min(stretches, committed.load() + ring);
            if (c >= limit) return false;
            if (claimed.compare_exchange_weak(c, c + 1, std::memory_order_relaxed)) {
                k = c;
                return true;
            }
        }
    };

    // Role 0 is the loop: it takes each stretch's results in order and grows
    // stretches itself while the next one is not ready. The other roles grow
    // stretches ahead. With no other thread free the loop grows them all.
    parallel_rows(pool_thread_count(), [&](std::size_t role) {
        if (role != 0) {
            if (claimed.load(std::memory_order_relaxed) >= stretches) return;
            Grower g(in, log);
            while (!stop.load(std::memory_order_relaxed)) {
                // Read before the claim: a stretch the loop takes in after a
                // failed claim ends the wait below at once.
                const std::size_t at = committed.load();
                std::size_t k;
                if (claim(k)) {
                    grow_ahead(in, log, k, g, slots[k % ring]);
                    continue;
                }
                if (claimed.load(std::memory_order_relaxed) >= stretches) return;
                // Every stretch within reach is taken: wait for the loop to move on.
                committed.wait_past(at);
            }
            return;
        }
        try {
            Committer c(in);
            std::size_t next = 0;
            // The loop moves on past stretch `next` once `done` has taken it in.
            auto move_on = [&](auto&& done) {
                if (timed) {
                    const auto started = std::chrono::steady_clock::now();
                    done();
                    counts.commit_seconds +=
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
                } else {
                    done();
                }
                ++next;
                committed.store(next);
            };
            while (next < stretches) {
                Stretch& s = slots[next % ring];
                if (s.ready.load() == next + 1) {
                    move_on([&] { commit(in, log, next, s, c, found, counts); });
                    continue;
                }
                std::size_t k;
                if (claim(k)) {
                    if (k == next && !all_ahead) {
                        // Nobody had started the stretch the loop is at: the
                        // loop grows it on its own map, as the plain loop does.
                        move_on([&] { plain_stretch(in, log, k, c, found); });
                        continue;
                    }
                    // Ahead on the loop's own map, which nothing else
                    // reads: it is the latest map there is, and the loop's
                    // core keeps one map in its caches instead of two.
                    Stretch& ahead_of_loop = slots[k % ring];
                    if (!grow_stretch(in, k, c.work.spent, in.used, c.region, c.memo, ahead_of_loop)) {
                        // The map may hold marks of the failed growth: it is
                        // the map before the loop and every pixel logged.
                        in.used = log.start.copy();
                        log.replay(in.used, 0, log.appended);
                    }
                    ahead_of_loop.ready.store(k + 1);
                } else {
                    // Another thread is growing the next stretch.
                    for (std::size_t seen = s.ready.load(); seen != next + 1;) seen = s.ready.wait_past(seen);
                }
            }
        } catch (...) {
            stop.store(true, std::memory_order_relaxed);
            committed.store(stretches + ring);
            throw;
        }
    });
    return found;
}

}  // namespace

std::vector<Segment> seed_loop(const Px* field, FieldNotes& notes, std::uint64_t width, std::uint64_t height,
                               double factor, std::size_t ahead, SeedLoopMode mode, SeedLoopCounts* counts,
                               bool all_ahead) {
    Loop in(field, width, height, notes, factor);
    if (in.seeds.empty()) return {};
    if (ahead == 0) return sequential_loop(in);
    if (mode == SeedLoopMode::ScoringAside) return scoring_aside(in, ahead);
    SeedLoopCounts mine;
    std::vector<Segment> found = loop_with_pool(in, ahead, mine, counts != nullptr, all_ahead);
    if (counts) *counts = mine;
    return found;
}

}  // namespace trevalin
