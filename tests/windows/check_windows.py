#!/usr/bin/env python3
"""The Windows build under Wine against the same answers as the Linux build.

  check_windows.py WINDOWS_EXE LINUX_EXE [--only cases,redirection,files,watch]

cases: every protocol case of tests/protocol, its input with CRLF line ends, its scripts
       copied with CRLF line ends, its paths written with a drive letter and backslashes.
redirection: stdoutredi and stdoutredi_append on a drive-letter path and a relative one.
files: a turn spot solved by both builds gives the same iterations and EVs within float rounding,
       and a tree file saved by either build opens in the other with the same results.
watch: a process named PokerStars.exe started under Wine blocks the Windows build's commands.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1]
ENV = dict(os.environ, WINEDEBUG="-all")


def windows_path(path):
    """How a Windows program names a file of the Linux file system (Wine's drive Z:)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def command(exe, args=()):
    return (["wine", exe] if exe.endswith(".exe") else [exe]) + list(args)


def run(exe, lines, args=(), cwd=None, newline="\n"):
    """Output without the banner line; text as bytes 1:1 (latin-1), so 0xA7 passes."""
    text = "".join(line + newline for line in lines)
    out = subprocess.run(command(exe, args), input=text.encode("latin-1"), stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, cwd=cwd, env=ENV, timeout=900).stdout.decode("latin-1")
    return out.split("\n", 1)[1] if "\n" in out else ""


def check_cases(exe, work):
    (data := work / "data").mkdir()
    for f in (TESTS / "protocol" / "data").iterdir():
        (data / f.name).write_bytes(f.read_bytes().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"))
    failed = []
    cases = sorted((TESTS / "protocol").glob("*.case"))
    for case in cases:
        (tmp := work / case.stem).mkdir()

        text = case.read_text(encoding="latin-1").replace("<A7>", "\xa7").replace("@DATA@/", windows_path(data) + "\\")
        text = text.replace("@TMP@/", windows_path(tmp) + "\\").replace("@TMP@", windows_path(tmp)).splitlines()
        args = [line[6:] for line in text if line.startswith("!args ")]
        lines = [line[2:] for line in text if line.startswith("> ")]
        expected = "".join(line + "\n" for line in text if line and not line.startswith(("//", "!args ", "> ")))
        actual = run(exe, lines, args, cwd=tmp, newline="\r\n")
        if actual != expected:
            failed.append(case.stem)
            diff = [f"  expected {e!r}\n  actual   {a!r}" for e, a in zip(expected.split("\n"), actual.split("\n")) if e != a]
            print(f"FAILED case {case.stem}:\n" + "\n".join(diff[:5]))
    print(f"protocol cases: {len(cases) - len(failed)} of {len(cases)} pass")
    return not failed


TURN_SPOT = ["set_board Td 9d 6h Qc", "set_pot 0 0 200", "set_range OOP " + " ".join(["1"] * 1326),
             "set_range IP " + " ".join(["1"] * 1326), "add_line 0 0 0 0", "add_line 0 0 100 100",
             "add_line 0 100 100 100 100", "add_line 100 100 100 100", "add_line 100 300 300", "add_line 0 0 0 100 100",
             "build_tree", "set_threads 2"]


def close(a, b, pot=200.0):
    # Both builds run the same kernels; only the C libraries' last-bit rounding differs, which
    # single-precision stores may round once more: 2^-20 of the pot bounds that.
    na, nb = ([float(t) for t in re.findall(r"-?\d+(?:\.\d*)?(?:e[-+]?\d+)?", x)] for x in (a, b))
    return len(na) == len(nb) and all(abs(x - y) <= pot * 2**-20 + 2**-20 * abs(x) for x, y in zip(na, nb))


def last_answer(out):
    """The last calc_results answer (the solver's reports come at times of their own)."""
    lines = out.splitlines()
    start = max(i for i, x in enumerate(lines) if x.startswith("EV OOP")) if "EV OOP" in out else len(lines)
    return lines[start:]


def check_files(win, lin, work):
    solve, results = TURN_SPOT + ["go 60 steps", "wait_for_solver", "calc_results"], []
    name = lambda exe, path: windows_path(path) if exe.endswith(".exe") else str(path)  # noqa: E731
    for saver, loader in ((win, lin), (lin, win)):
        path = work / f"{saver == win}.tree"
        results.append(last_answer(run(saver, solve + [f"dump_tree {name(saver, path)}"], cwd=work))[:-1])
        after = last_answer(run(loader, [f"load_tree {name(loader, path)}", "calc_results"], cwd=work))
        print(f"tree file saved by {'Windows' if saver == win else 'Linux'}: " + ("the other build reads the same "
              "results" if results[-1] == after and after else f"FAILED\n  saved {results[-1]}\n  loaded {after}"))
        results.append(after)
    agree = bool(results[0]) and close("\n".join(results[0]), "\n".join(results[2]))
    print(("turn solve: EVs agree" if agree else "FAILED turn solve:") + f"\n  windows: {results[0]}\n  linux: {results[2]}")
    return agree and results[0] == results[1] and results[2] == results[3]


def check_redirection(win, work):
    (work / "sub").mkdir()
    out = run(win, [f"stdoutredi {windows_path(work / 'sub' / 'out.txt')}", "is_ready", "stdoutback",
                    "stdoutredi_append sub\\out.txt", "is_ready", "stdoutback"], cwd=work)
    written = (work / "sub" / "out.txt").read_text()
    ok = out == "stdoutback ok!\n" * 2 and written == "stdoutredi ok!\nis_ready ok!\nstdoutredi_append ok!\nis_ready ok!\n"
    print("redirection: " + ("answers go to files named the Windows way" if ok else f"FAILED: {out!r} {written!r}"))
    return ok


def check_watch(win, work):
    banned = work / "PokerStars.exe"
    shutil.copy(win, banned)
    holder = subprocess.Popen(command(str(banned)), stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, cwd=work, env=ENV)
    out = ""
    try:
        for _ in range(10):  # until Wine has started the banned process (slow on a busy machine)
            time.sleep(2)
            p = subprocess.Popen(command(win), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, cwd=work, env=ENV)
            time.sleep(2)  # the watch's first scan
            out = p.communicate(b"is_ready\n", timeout=60)[0].decode("latin-1").split("\n", 1)[-1]
            if out != "is_ready ok!\n":
                break
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)
    ok = out == "ERROR: banned process running: PokerStars.exe\n"
    print("process watch: " + ("a banned process under Wine blocks commands" if ok else f"FAILED: {out!r}"))
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("windows_exe")
    parser.add_argument("linux_exe")
    parser.add_argument("--only", default="cases,redirection,files,watch")
    o = parser.parse_args()
    win, lin = str(Path(o.windows_exe).resolve()), str(Path(o.linux_exe).resolve())
    with tempfile.TemporaryDirectory(prefix="travanto_windows_") as tmp:
        work = Path(tmp)
        checks = {"cases": (check_cases, win), "files": (check_files, win, lin), "watch": (check_watch, win),
                  "redirection": (check_redirection, win)}
        ok = all([checks[name][0](*checks[name][1:], work) for name in o.only.split(",")])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
