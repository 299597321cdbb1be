#!/usr/bin/env python3
"""Mutation check: how many small faults in the engine's core does the fast test suite catch?

Picks a fixed, seeded sample of small mutations (arithmetic and comparison operators, logical
operators, constants and off-by-one, increments, dropped statements) of the .cpp files in cards/, kernels/,
tree/, solver/, storage/ and queries/, and for each one in turn: writes it into the source file,
rebuilds the build folder incrementally (the unit tests and the program), runs the fast suite
(ctest, label unit, stopping at the first failure) under a timeout, and puts the file back. The
suite runs in two rounds, the quick tests first and those that took over SLOW seconds in the clean
run after them, so that most mutants are judged without waiting for the slow ones. A
mutant is killed when a test fails or times out; one that does not compile is left out of the
share. Prints the killed share and lists the survivors.

    tools/mutants.py [--count N] [--seed S] [--build DIR] [--timeout SECONDS] [--jobs J] [--only REGEX] [--from I]

--only keeps the sites whose path (relative to the checkout) matches REGEX: a quick look at one
folder or file while editing its tests.

The source files are restored after every mutant, also on Ctrl-C and SIGTERM; the build is brought back to
the clean sources at the end.
"""
import argparse
import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ["cards", "kernels", "tree", "solver", "storage", "queries"]

# (name, pattern, replacement): each match of the pattern on a line is one mutation site.
OPERATORS = [
    ("plus->minus", r"(?<=\w|\)|\]) \+ (?=[\w(])", " - "),
    ("minus->plus", r"(?<=\w|\)|\]) - (?=[\w(])", " + "),
    ("times->plus", r"(?<=\w|\)|\]) \* (?=[\w(])", " + "),
    ("lt->le", r" < (?=[\w(-])", " <= "),
    ("le->lt", r" <= ", " < "),
    ("gt->ge", r" > (?=[\w(-])", " >= "),
    ("ge->gt", r" >= ", " > "),
    ("eq->ne", r" == ", " != "),
    ("ne->eq", r" != ", " == "),
    ("and->or", r" && ", " || "),
    ("or->and", r" \|\| ", " && "),
    ("shift-off-by-one", r"(?<=<< )(\d+)\b|(?<=>> )(\d+)\b", None),
    ("constant+1", r"(?<![\w.])(\d+)(?![\w.'])", None),
    ("increment->decrement", r"\+\+", "--"),
]
STATEMENT = re.compile(r"^\s+(?!return\b|break\b|continue\b|case\b|default\b|else\b|if\b|for\b|while\b)"
                       r"[\w:\[\]().*&>-]+\s*(\+=|-=|\*=|=|\()[^;{}]*;\s*$")
SKIP = re.compile(r"^\s*(#|//|\*|/\*)|static_assert|constexpr .*\[|\bcase\b|template|operator")


def sites():
    """Every mutation site: (file, line number, operator name, occurrence)."""
    found = []
    for folder in FOLDERS:
        for path in sorted((ROOT / folder).glob("*.cpp")):
            for number, line in enumerate(path.read_text().splitlines(), 1):
                code = line.split("//")[0]
                if SKIP.search(line) or '"' in code:
                    continue
                for name, pattern, _ in OPERATORS:
                    for k, _match in enumerate(re.finditer(pattern, code)):
                        found.append((path, number, name, k))
                if STATEMENT.match(code) and not re.match(r"^\s+(const |auto |int |double |float |bool |std::)", code):
                    found.append((path, number, "drop-statement", 0))
    return found


def mutate(line, name, k):
    if name == "drop-statement":
        return re.sub(r"\S.*", "{}  // dropped by the mutation check", line, count=1)
    pattern, replacement = next((p, r) for n, p, r in OPERATORS if n == name)
    match = list(re.finditer(pattern, line))[k]
    if replacement is None:  # a number: one more, and 0 <-> 1
        value = int(match.group(0))
        replacement = "1" if value == 0 else str(value + 1)
    return line[: match.start()] + replacement + line[match.end():]


def run(command, timeout):
    """The command's exit status, or None when it ran out of time (it and its children are killed:
    a mutant's endless loop must not keep running beside the next one)."""
    process = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        return None
    except BaseException:
        os.killpg(process.pid, signal.SIGKILL)
        raise


SLOW = 3.0


def split_by_cost(tests, cost_file):
    """The ctest command as two rounds: tests that took at most SLOW seconds, then the rest."""
    slow = []
    if cost_file.exists():
        for line in cost_file.read_text().splitlines():
            fields = line.split()
            if len(fields) == 3 and float(fields[2]) > SLOW:
                slow.append(re.escape(fields[0]))
    if not slow:
        return [tests]
    pattern = "^(" + "|".join(slow) + ")$"
    # The second round may select nothing for the unit label: that is not a failure there.
    rest = [t for t in tests if t != "--no-tests=error"] + ["--no-tests=ignore", "-R", pattern]
    return [tests + ["-E", pattern], rest]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=150)
    parser.add_argument("--seed", type=int, default=33)
    parser.add_argument("--build", default="build")
    parser.add_argument("--timeout", type=int,
                        help="seconds for the tests of one mutant (default: 3 times the clean run, at least 90)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--only", help="keep the sites whose relative path matches this regex")
    parser.add_argument("--from", dest="first", type=int, default=1,
                        help="start at this mutant of the sample (goes on with an interrupted run)")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, signal.default_int_handler)  # restore the sources on kill too
    build = str(ROOT / args.build)
    rebuild = ["cmake", "--build", build, "--target", "unit_tests", "travanto", "-j", str(args.jobs)]
    tests = ["ctest", "--test-dir", build, "-L", "unit", "-j", str(args.jobs), "--stop-on-failure",
             "--no-tests=error"]
    if run(rebuild, 3600) != 0:
        sys.exit("the unmutated sources do not build")
    clean = time.time()
    if run(tests, 3600) != 0:
        sys.exit("the unmutated sources do not pass the fast suite")
    # A mutant that makes a test loop is killed by this bound (the tests' own timeouts are long).
    bound = args.timeout or max(90, round(3 * (time.time() - clean)))
    rounds = split_by_cost(tests, Path(build) / "Testing" / "Temporary" / "CTestCostData.txt")
    candidates = sites()
    if args.only:
        candidates = [c for c in candidates if re.search(args.only, str(c[0].relative_to(ROOT)))]
    sample = random.Random(args.seed).sample(candidates, min(args.count, len(candidates)))
    print(f"{len(candidates)} mutation sites; {len(sample)} mutants (seed {args.seed})", flush=True)
    killed, survivors, broken, start = 0, [], 0, time.time()
    try:
        for i, (path, number, name, k) in enumerate(sample, 1):
            if i < args.first:
                continue
            original = path.read_text()
            lines = original.split("\n")
            mutant = mutate(lines[number - 1], name, k)
            lines[number - 1] = mutant
            where = f"{path.relative_to(ROOT)}:{number}"
            try:
                path.write_text("\n".join(lines))
                if run(rebuild, 1800) != 0:
                    broken += 1
                    verdict = "does not compile"
                else:
                    status = 0
                    for round_ in rounds:
                        status = run(round_, bound)
                        if status != 0:
                            break
                    verdict = "killed" if status != 0 else "SURVIVED"
                    killed += status != 0
                    if status == 0:
                        survivors.append(f"{where} [{name}] {mutant.strip()}")
            finally:
                path.write_text(original)
            print(f"[{i}/{len(sample)}] {where} {name}: {verdict} ({time.time() - start:.0f} s)", flush=True)
    finally:
        run(rebuild, 3600)
    judged = len(sample[args.first - 1:]) - broken
    print(f"\nkilled {killed} of {judged} compiled mutants ({100 * killed / max(judged, 1):.1f} %); "
          f"{broken} did not compile; {time.time() - start:.0f} s")
    for s in survivors:
        print("  survivor:", s)


if __name__ == "__main__":
    main()
