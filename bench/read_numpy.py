#!/usr/bin/python3
"""Reading a data file into numpy against datinfo reading the same file.

    /usr/bin/python3 bench/read_numpy.py [BUILD] [--size N] [--runs R]

BUILD (default build/) holds the built package (BUILD/python) and datinfo
(BUILD/datafile/datinfo). Writes one N x N data file (default 4096, heights with 5 % invalid
points and one intensity frame) into a temporary folder, reads it once untimed (warm page
cache), then R times (default 7) each way, and prints the median and best wall times:

    datinfo            the whole program: read, statistics, report
    read_dat           vell.read_dat in this interpreter: heights as float64, intensity
    python3 read_dat   a fresh interpreter that imports vell and calls read_dat (what a user's
                       script pays)

and read_dat's ratio to datinfo (the target is at most 2).
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

root = pathlib.Path(__file__).resolve().parents[1]
parser = argparse.ArgumentParser()
parser.add_argument("build", nargs="?", default=str(root / "build"))
parser.add_argument("--size", type=int, default=4096)
parser.add_argument("--runs", type=int, default=7)
args = parser.parse_args()
build = pathlib.Path(args.build).resolve()
sys.path.insert(0, str(build / "python"))

import numpy as np  # noqa: E402

import vell  # noqa: E402

datinfo = build / "datafile" / "datinfo"


def timed(fn, runs):
    fn()
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times), min(times)


with tempfile.TemporaryDirectory() as tmp:
    path = pathlib.Path(tmp) / "big.dat"
    n = args.size
    rng = np.random.default_rng(1)
    heights = np.round(rng.normal(0, 2e-7, (n, n)) / 1e-11) * 1e-11
    heights[rng.random((n, n)) < 0.05] = np.nan
    frames = rng.integers(0, 4096, size=(1, n, n), dtype=np.uint16)
    vell.write_dat(path, heights, intensity=frames)
    size_mb = path.stat().st_size / 1e6

    env = dict(os.environ, PYTHONPATH=str(build / "python"))
    results = {
        "datinfo": timed(lambda: subprocess.run([str(datinfo), str(path)], check=True,
                                                stdout=subprocess.DEVNULL), args.runs),
        "read_dat": timed(lambda: vell.read_dat(path), args.runs),
        "python3 read_dat": timed(lambda: subprocess.run(
            [sys.executable, "-c", f"import vell; vell.read_dat({str(path)!r})"], check=True, env=env), args.runs),
    }
    print(f"{n} x {n} data file, {size_mb:.1f} MB, {args.runs} runs, load {os.getloadavg()[0]:.2f}")
    print(f"{'':18} {'median_s':>9} {'best_s':>9} {'ratio':>6}")
    base = results["datinfo"][0]
    for name, (median, best) in results.items():
        print(f"{name:18} {median:9.3f} {best:9.3f} {median / base:6.2f}")
