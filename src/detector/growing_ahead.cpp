// The seed loop with the pool's threads growing the coming seeds ahead of it.
//
// The seed order is cut into stretches of kStretch places. Threads claim
// stretches beyond the one the loop is at and take their seeds' steps, each
// on its own copy of the used map as the loop had left it a moment before,
// noting every pixel that each seed took. The loop's thread takes the
// stretches in, in order, and keeps a seed's result only where it is the
// plain loop's; it grows every other seed itself.
//
// What makes that exact: a growth's course depends on the used map only
// through the pixels it takes. A free pixel that it turns down changes
// nothing, and neither would that pixel taken. So when every pixel that a
// seed took ahead is still free in the loop's map, and every pixel it found
// taken is taken there too, the seed goes there as it went ahead. The second
// holds by itself (the loop's map only gains pixels), except where a seed of
// the same stretch was not kept and left free a pixel that it had taken
// ahead: a later seed that took a pixel next to such a suspect is grown
// again too. Refinement's budget is spent in seed order: a seed grown ahead
// is kept only when the loop's allowance leads its refinement the same way.
#include "detector/growing_ahead.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <span>
#include <utility>

#include "pool/pool.hpp"
#include "pool/signal.hpp"
#include "sample/buffer.hpp"

namespace trevalin {

namespace {

#ifdef TREVALIN_SEED_LOOP_COUNTS
constexpr bool kCounting = true;
#else
constexpr bool kCounting = false;  // SeedLoopCounts are never counted outside the benchmark's build
#endif

// The map of a seed grown ahead, which notes in `joined` every pixel that its
// growths take, the seed first. A stretch whose growths join more than
// `limit` pixels in all is not worth holding ahead (its lists would take more
// memory than the map several times over): the growth that passes the limit
// stops and throws TooMuchAhead, every pixel it took noted.
struct AheadView {
    UsedBits& map;
    std::vector<std::uint32_t>& joined;
    std::size_t limit;
    void free(std::size_t i) { map.free(i); }
};
struct TooMuchAhead {};

DirectionSum grow_region_sum(std::uint32_t seed, const Px* field, AheadView& used, std::vector<std::uint32_t>& region,
                             double cos_tau, std::uint64_t width, std::uint64_t height) {
    // The region holds exactly the pixels the growth took, the seed first.
    const std::size_t room = used.limit > used.joined.size() ? used.limit - used.joined.size() : 0;
    const DirectionSum sum = trevalin::grow_region_sum(seed, field, used.map, region, cos_tau, width, height, room);
    used.joined.insert(used.joined.end(), region.begin(), region.end());
    if (region.size() > room) throw TooMuchAhead{};
    return sum;
}

bool all_free(const UsedBits& used, std::span<const std::uint32_t> pixels) {
    for (std::uint32_t p : pixels)
        if (used.taken(p)) return false;
    return true;
}

constexpr std::size_t kStretch = 64;

// What one seed grown ahead gave: the pixels it took at any time end at
// joined_end of the stretch's list, where the previous seed's end. Most
// growths leave taken exactly the pixels they took (`same`); the others'
// pixels left taken end at marks_end of the marks list likewise. A seed that
// found a segment has it next in the stretch's segments.
struct Speculated {
    std::uint32_t place;
    std::uint32_t joined_end, marks_end;
    bool same, found;
    RefineCost cost;  // what its refinement was allowed and did
};

struct Stretch {
    std::vector<Speculated> seeds;
    std::vector<std::uint32_t> joined;
    std::vector<std::uint32_t> marks;
    std::vector<Segment> segments;
    bool failed = false;  // the stretch could not be grown ahead: the loop grows it itself
    Signal ready;         // stretch number + 1 once the lists are complete

    // The pixels that seed i took, and those it left taken.
    std::span<const std::uint32_t> took(std::size_t i) const {
        const std::uint32_t begin = i > 0 ? seeds[i - 1].joined_end : 0;
        return {joined.data() + begin, seeds[i].joined_end - begin};
    }
    std::span<const std::uint32_t> kept(std::size_t i) const {
        if (seeds[i].same) return took(i);
        const std::uint32_t begin = i > 0 ? seeds[i - 1].marks_end : 0;
        return {marks.data() + begin, seeds[i].marks_end - begin};
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
        std::copy(taken.begin(), taken.end(), pixels.data() + appended);
        appended += taken.size();
    }
    void publish(std::uint64_t work) {
        spent.store(work, std::memory_order_relaxed);
        size.store(appended, std::memory_order_release);
    }
};

// Grows the seeds of stretch k into `out`, on `map`: the loop's map as it
// stood when the loop's refinement work had reached `spent`. The growths
// leave the map as they found it. A stretch that takes too much to hold
// ahead is marked failed (the loop grows it itself); any other failure fails
// the call.
void grow_stretch(const SeedLoop& in, std::size_t k, std::uint64_t spent, UsedBits& map, SeedStep& step, Stretch& out) {
    out.seeds.clear();
    out.joined.clear();
    out.marks.clear();
    out.segments.clear();
    out.failed = false;
    const std::size_t begin = k * kStretch, end = std::min(in.seeds.size(), begin + kStretch);
    // The step's own count of work (on the loop's thread, the loop's) comes back afterwards.
    const std::uint64_t own = std::exchange(step.spent, spent);
    // A stretch's lists hold at most a 32nd of the field's pixels: with
    // two stretches in flight for every thread, a few bytes per pixel.
    AheadView view{map, out.joined, in.width * in.height / 32 + 4096};
    try {
        each_free_seed(in, map, begin, end, [&](std::size_t j, std::uint32_t seed) {
            const std::size_t joined_begin = out.joined.size();
            const bool found = step(in, seed, view, out.segments);
            // Not regrown nor cut, its region is what it joined.
            const bool same = out.joined.size() - joined_begin == step.region.size();
            if (!same) out.marks.insert(out.marks.end(), step.region.begin(), step.region.end());
            out.seeds.push_back(Speculated{static_cast<std::uint32_t>(j), static_cast<std::uint32_t>(out.joined.size()),
                                           static_cast<std::uint32_t>(out.marks.size()), same, found, step.cost});
        });
    } catch (const TooMuchAhead&) {
        out.failed = true;
    }
    // Every pixel joined was free before, those left taken with the rest.
    for (std::uint32_t p : out.joined) map.free(p);
    step.spent = own;
}

// The loop's thread: its own seed step, and the suspects of the stretch at
// hand with the map of them and their neighbours (`near`).
struct Committer {
    SeedStep step;
    UsedBits near;
    std::vector<std::uint32_t> suspects;

    explicit Committer(const SeedLoop& in)
        : step(in), near(Buffer<std::uint64_t>::zeroed(in.width * in.height / 64 + 2), in.width * in.height) {}

    // The loop's own growth from `seed`, logged.
    void grow(SeedLoop& in, std::uint32_t seed, TakenLog& log, std::vector<Segment>& found) {
        step(in, seed, in.used, found);
        log.append(step.region);
    }
};

template <class F>  // f(q) for p and each of its neighbours q
void around(const SeedLoop& in, std::uint32_t p, F&& f) {
    const PixelXY at = PixelGrid(in.width).xy(p);
    const std::size_t x0 = at.x > 0 ? at.x - 1 : 0, x1 = std::min<std::size_t>(at.x + 1, in.width - 1);
    const std::size_t y0 = at.y > 0 ? at.y - 1 : 0, y1 = std::min<std::size_t>(at.y + 1, in.height - 1);
    for (std::size_t y = y0; y <= y1; ++y)
        for (std::size_t x = x0; x <= x1; ++x) f(y * in.width + x);
}

// Whether a refinement that cost `ahead` grown ahead went as the loop's allowance leads it.
bool as_asked(const RefineCost& ahead, std::uint64_t allowance) {
    return !ahead.thin || (ahead.cut_short ? ahead.allowance == allowance : ahead.work <= allowance);
}

// The loop takes pixels that a seed grown ahead left taken.
void take(SeedLoop& in, TakenLog& log, std::span<const std::uint32_t> kept) {
    for (std::uint32_t p : kept) in.used.take(p);
    log.append(kept);
}

// Stretch k grown by the loop itself, on its own map.
void plain_stretch(SeedLoop& in, TakenLog& log, std::size_t k, Committer& c, std::vector<Segment>& found) {
    const std::size_t begin = k * kStretch, end = std::min(in.seeds.size(), begin + kStretch);
    each_free_seed(in, in.used, begin, end, [&](std::size_t, std::uint32_t seed) { c.grow(in, seed, log, found); });
    log.publish(c.step.spent);
}

// The loop reaches stretch k and takes its seeds in order, keeping each
// result grown ahead that the plain loop would have had (see the top of the
// file) and growing the other seeds again. A seed passed over ahead as taken
// is taken here too, unless a seed grown again here left it free.
void commit(SeedLoop& in, TakenLog& log, std::size_t k, Stretch& s, Committer& c, std::vector<Segment>& found,
            SeedLoopCounts& counts) {
    if (s.failed) return plain_stretch(in, log, k, c, found);
    // Almost every stretch comes through whole: no pixel that any of its
    // seeds took is taken here (checking them all before taking any decides
    // as the checks one seed at a time do: a seed took no pixel that an
    // earlier seed of the stretch left taken), and the budget leads each
    // seed's refinement the way it went. One pass then keeps them all.
    std::uint64_t spent = c.step.spent;
    bool whole = all_free(in.used, s.joined);
    for (std::size_t i = 0; whole && i < s.seeds.size(); spent += s.seeds[i++].cost.work)
        whole = as_asked(s.seeds[i].cost, in.budget_left(spent));
    if (whole) {
        // No marks: no growth was redone, and the seeds left taken all they joined.
        if (s.marks.empty())
            take(in, log, s.joined);
        else
            for (std::size_t i = 0; i < s.seeds.size(); ++i) take(in, log, s.kept(i));
        found.insert(found.end(), s.segments.begin(), s.segments.end());
        c.step.spent = spent;
        if constexpr (kCounting) counts.kept += s.seeds.size();
        log.publish(spent);
        return;
    }
    const std::size_t begin = k * kStretch, end = std::min(in.seeds.size(), begin + kStretch);
    std::size_t next = 0;  // the next seed grown ahead
    const Segment* segment = s.segments.data();
    for (std::size_t j = begin; j < end; ++j) {
        if (next == s.seeds.size() || s.seeds[next].place != j) {
            if (!c.suspects.empty() && !in.used.taken(in.seeds[j])) c.grow(in, in.seeds[j], log, found);
            continue;
        }
        const Speculated& e = s.seeds[next];
        const std::span<const std::uint32_t> took = s.took(next), kept = s.kept(next);
        ++next;
        if (as_asked(e.cost, in.budget_left(c.step.spent)) && all_free(in.used, took) &&
            (c.suspects.empty() || all_free(c.near, took))) {
            take(in, log, kept);
            if (e.found) found.push_back(*segment++);
            c.step.spent += e.cost.work;
            if constexpr (kCounting) ++counts.kept;
            continue;
        }
        if (e.found) ++segment;
        if (!in.used.taken(in.seeds[j])) {
            c.grow(in, in.seeds[j], log, found);
            if constexpr (kCounting) ++counts.regrown;
        } else if constexpr (kCounting) {
            ++counts.dropped;
        }
        for (std::uint32_t p : kept) {
            if (in.used.taken(p)) continue;
            around(in, p, [&](std::size_t q) { c.near.take(q); });
            c.suspects.push_back(p);
        }
    }
    for (std::uint32_t p : c.suspects) around(in, p, [&](std::size_t q) { c.near.free(q); });
    c.suspects.clear();
    log.publish(c.step.spent);
}

std::vector<Segment> loop_counting(SeedLoop& in, std::size_t ahead, SeedLoopCounts& counts) {
    const std::size_t stretches = (in.seeds.size() + kStretch - 1) / kStretch;
    const std::size_t ring = std::max<std::size_t>(ahead, 1);
    const std::unique_ptr<Stretch[]> slots(new Stretch[ring]);
    TakenLog log(in.used, in.width * in.height);
    std::atomic<std::size_t> claimed{0};
    Signal committed;
    std::atomic<bool> stop{false};
    std::vector<Segment> found;

    // The next stretch nobody has taken, within `ring` of the loop's.
    auto claim = [&](std::size_t& k) {
        std::size_t c = claimed.load(std::memory_order_relaxed);
        for (;;) {
            if (c >= std::min(stretches, committed.load() + ring)) return false;
            if (claimed.compare_exchange_weak(c, c + 1, std::memory_order_relaxed)) {
                k = c;
                return true;
            }
        }
    };

    // Role 0 is the loop: it takes the stretches in, in order, and grows
    // stretches itself while the next one is not ready. The others grow
    // stretches ahead. With no other thread free the loop grows them all.
    parallel_rows(pool_thread_count(), [&](std::size_t role) {
        if (role != 0) {
            if (claimed.load(std::memory_order_relaxed) >= stretches) return;
            // The loop's thread changes its map as it goes, also taking and
            // freeing pixels within one growth, so this thread's copy starts
            // from the map before the loop and catches up from the log.
            UsedBits map = log.start.copy();
            std::size_t replayed = 0;  // log entries applied to `map`
            SeedStep step(in);
            while (!stop.load(std::memory_order_relaxed)) {
                // Read before the claim, so that a stretch taken in after a failed claim ends the wait below.
                const std::size_t at = committed.load();
                std::size_t k;
                if (claim(k)) {
                    // The copy catches up before the stretch only: the log's
                    // latest entries were written on the loop's core, and
                    // reading them after every growth cost more than the few
                    // growths that a fresher copy saves.
                    for (const std::size_t end = log.size.load(std::memory_order_acquire); replayed < end; ++replayed)
                        map.take(log.pixels[replayed]);
                    try {
                        grow_stretch(in, k, log.spent.load(std::memory_order_relaxed), map, step, slots[k % ring]);
                    } catch (...) {
                        stop.store(true, std::memory_order_relaxed);
                        slots[k % ring].ready.store(k + 1);  // the loop, waiting for it, sees the stop
                        throw;
                    }
                    slots[k % ring].ready.store(k + 1);
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
                [[maybe_unused]] std::chrono::steady_clock::time_point started;
                if constexpr (kCounting) started = std::chrono::steady_clock::now();
                done();
                if constexpr (kCounting)
                    counts.commit_seconds +=
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
                committed.store(++next);
            };
            while (next < stretches && !stop.load(std::memory_order_relaxed)) {
                Stretch& s = slots[next % ring];
                if (s.ready.load() == next + 1) {
                    if (stop.load(std::memory_order_relaxed)) break;  // its grower failed, and so does the call
                    move_on([&] { commit(in, log, next, s, c, found, counts); });
                    continue;
                }
                std::size_t k;
                if (claim(k)) {
                    if (k == next && !(kCounting && counts.all_ahead)) {
                        // Nobody had started the stretch the loop is at: the
                        // loop grows it on its own map, as the plain loop does.
                        move_on([&] { plain_stretch(in, log, k, c, found); });
                        continue;
                    }
                    // Ahead on the loop's own map, the latest there is: the
                    // loop's core keeps one map in its caches instead of two.
                    grow_stretch(in, k, c.step.spent, in.used, c.step, slots[k % ring]);
                    slots[k % ring].ready.store(k + 1);
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

std::vector<Segment> loop_growing_ahead(SeedLoop& in, std::size_t ahead) {
    SeedLoopCounts unused{};
    return loop_counting(in, ahead, unused);
}

#ifdef TREVALIN_SEED_LOOP_COUNTS
std::vector<Segment> loop_growing_ahead(SeedLoop& in, std::size_t ahead, SeedLoopCounts& counts) {
    return loop_counting(in, ahead, counts);
}
#endif

}  // namespace trevalin
