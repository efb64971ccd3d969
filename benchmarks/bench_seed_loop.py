"""How the seed loop's work spreads over threads: seeds grown ahead and grown again, and the projected speed-up.

    python benchmarks/bench_seed_loop.py [--rounds N]

Builds benchmarks/native/seed_loop_conflicts with CMake (into build/bench-native) and runs it on the 4000x3000
mosaic and rings images at scale 0.8 with 1, 2, 4, 8 and 16 pool threads, every stretch grown ahead. On a machine
with fewer cores the thread counts above the core count measure conflicts, not speed.

Projection. From the one-thread runs, in CPU time (which a busy machine inflates less than wall time): F, the
field's time; L, the plain loop's time; G, the loop's time when every stretch is grown ahead and taken in by the
loop's thread (even those that the loop's thread could grow on its own map, as it does when nobody else has started
them), less C, the time of taking them in (checking and marking). With n threads a fraction r_n of the grown seeds
is grown again on the loop's thread, each at the mean cost g = G / seeds, and a fraction d_n was grown ahead in
vain: a region of an earlier seed that the growth's copy of the map did not hold yet took the seed. The loop's
thread has S_n = C + r_n * seeds * g to do alone; the n threads share G (1 + d_n) + S_n. So
loop(n) = max(S_n, (G (1 + d_n) + S_n) / n), and the call, whose field is built by every thread, takes
F / n + loop(n) against F + L with one thread. Growths in vain run on where the loop's regions would have stopped
them and cost more than g (on the rings several times as much), so the projection is somewhat optimistic where they
are many; the loop's thread growing a stretch on its own map, without the work of growing ahead, shortens it.
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_detect import rings  # noqa: E402
from common import machine, mosaic  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
THREADS = [2, 4, 8, 16]


def build():
    out = ROOT / "build" / "bench-native"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(out), "-DTREVALIN_BUILD_MODULE=OFF",
                    "-DTREVALIN_BUILD_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(out), "-j", str(os.cpu_count() or 2), "--target", "seed_loop_conflicts"],
                   check=True, capture_output=True)
    return out / "seed_loop_conflicts"


def run(tool, path, threads, ahead, rounds, all_ahead=False):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    r = subprocess.run([str(tool), path, "4000", "3000", str(ahead), str(rounds)] + ["all-ahead"] * all_ahead,
                       env=env, check=True, capture_output=True, text=True)
    return json.loads(r.stdout)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rounds", type=int, default=3)
    args = p.parse_args()
    tool = build()
    print(f"seed loop on 4000x3000 images, scale 0.8; {machine()}")
    with tempfile.TemporaryDirectory() as tmp:
        for name, img in (("mosaic", mosaic(4000, 3000)), ("rings", rings(4000, 3000))):
            path = os.path.join(tmp, name + ".u8")
            img.tofile(path)
            plain = run(tool, path, 1, 0, args.rounds)
            ahead = run(tool, path, 1, 4, args.rounds, all_ahead=True)
            seeds = ahead["kept"]
            f, loop = plain["field_cpu_ms"], plain["loop_cpu_ms"]
            c = ahead["commit_ms"]
            g = ahead["loop_cpu_ms"] - c
            print(f"{name}: {plain['segments']} segments; one thread: field {f:.0f} ms, plain loop {loop:.0f} ms, "
                  f"loop grown ahead {ahead['loop_ms']:.0f} ms of which taking in {c:.0f} ms; {seeds} seeds grown")
            for n in THREADS:
                # As many stretches in flight as detect() keeps.
                r = run(tool, path, n, max(8, 2 * n), args.rounds, all_ahead=True)
                assert r["segments"] == plain["segments"]
                frac = r["regrown"] / max(1, r["kept"] + r["regrown"])
                vain = r["dropped"] / max(1, seeds)
                serial = c + frac * g
                projected = max(serial, (g * (1 + vain) + serial) / n)
                print(f"  {n:>2} threads: grown again {r['regrown']:>6} ({100 * frac:5.2f}%), "
                      f"in vain {r['dropped']:>6} ({100 * vain:5.2f}%), measured loop {r['loop_ms']:.0f} ms; "
                      f"projected on {n} cores: loop {projected:.0f} ms, "
                      f"call {(f + loop) / (f / n + projected):.2f}x faster than one thread")


if __name__ == "__main__":
    main()
