#!/usr/bin/env python3
"""Speed of the Windows build under Wine against the Linux build: both solve a spot script to 0.3 % of
the pot on 2 threads, best wall time of three runs each.

  windows_bench.py WINDOWS_EXE LINUX_EXE SPOT
"""
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "windows"))
from check_windows import last_answer, run  # noqa: E402


def bench(win, lin, spot, work, runs=3):
    """As bench/solve does: solve to 0.3 % of the pot on 2 threads; best wall time of `runs`."""
    lines = [x for x in Path(spot).read_text().splitlines() if x.strip()]
    lines += ["set_threads 2", "set_accuracy 0.003 fraction", "go", "wait_for_solver", "calc_results"]
    figures, solving = {lin: [], win: []}, {lin: [], win: []}
    for exe in [lin, win] * runs:
        started, out = time.monotonic(), run(exe, lines, cwd=work)
        figures[exe].append(time.monotonic() - started)
        solving[exe] += ([float(x.split(":")[1]) for x in out.splitlines() if x.startswith("running time:")] or
                         [float("nan")])[-1:]
        print(f"{Path(exe).name}: {figures[exe][-1]:.2f} s in all, the solver's clock at its last report "
              f"{solving[exe][-1]:.2f} s; " + " | ".join(last_answer(out)))
    print(f"Windows build under Wine / Linux build: {min(figures[win]) / min(figures[lin]):.2f} in all, "
          f"{min(solving[win]) / min(solving[lin]):.2f} by the solver's clock")



def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    win, lin = (str(Path(x).resolve()) for x in sys.argv[1:3])
    with tempfile.TemporaryDirectory(prefix="travanto_windows_bench_") as tmp:
        bench(win, lin, sys.argv[3], Path(tmp))
    return 0


if __name__ == "__main__":
    sys.exit(main())
