"""Runs every code block of README.md and docs/*.md as written and fails when one fails.

The Python blocks of one page run in order in one interpreter (a page reads like a notebook: a block may use
what an earlier one defined); shell blocks run with bash, the venv's `velquor` first on PATH. Everything runs
in a scratch directory against one market database: ``--db``, or a small synthetic market built here (the
blocks name indexes and dates that every demo market has). A block preceded by a line
``<!-- docs: skip (the reason) -->`` is not run (a remote cluster, the make targets themselves).

Prints one line per page and the closing ``N passed, N failed``; exits 1 when a block failed.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SKIP = re.compile(r"<!--\s*docs:\s*skip\b")
FENCE = re.compile(r"^```(\w+)\s*$")
#: the small market the blocks run on unless --db names one (indexes and dates as in the demo market)
SMALL_MARKET = dict(n_stocks=400, start="2023-01-03", end="2026-11-30", seed=11)


def blocks(path: Path) -> list[tuple[int, str, str, bool]]:
    """(line, language, code, skipped) of every fenced block of a Markdown file."""
    out = []
    lines = path.read_text().splitlines()
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if m:
            start, lang = i, m.group(1)
            j = i + 1
            while j < len(lines) and lines[j].strip() != "```":
                j += 1
            prev = next((lines[k] for k in range(start - 1, -1, -1) if lines[k].strip()), "")
            out.append((start + 1, lang, "\n".join(lines[i + 1:j]) + "\n", bool(SKIP.search(prev))))
            i = j
        i += 1
    return out


def _source(code: str) -> str:
    """The code of a block; an interactive session (``>>>`` prompts) gives its input lines only (what it
    shows as output is the output of its run, not checked here)."""
    lines = code.splitlines()
    if not any(ln.startswith(">>>") for ln in lines):
        return code
    return "\n".join(ln[4:] for ln in lines if ln.startswith((">>> ", "... ")) or ln in (">>>", "...")) + "\n"


def _python_page(code: list[tuple[int, str]], page: str) -> str:
    """One script running a page's Python blocks in order, saying which block failed."""
    parts = ["import sys, traceback\n_ns = {'__name__': '__main__'}\n"]
    for line, src in code:
        parts.append(f"try:\n    exec(compile({src!r}, {f'{page}:{line}'!r}, 'exec'), _ns)\n"
                     f"except BaseException:\n    traceback.print_exc()\n"
                     f"    print('FAILED block at {page}:{line}', file=sys.stderr)\n    sys.exit(1)\n")
    return "".join(parts)


def run_page(path: Path, cwd: Path, env: dict, timeout: float) -> tuple[int, int, list[str]]:
    """Runs a page's blocks; (passed, failed, messages)."""
    page = path.relative_to(ROOT).as_posix()
    passed, failed, notes = 0, 0, []
    py = [(line, _source(code)) for line, lang, code, skip in blocks(path) if lang == "python" and not skip]
    if py:
        proc = subprocess.run([sys.executable, "-c", _python_page(py, page)], cwd=cwd, env=env, timeout=timeout,
                              capture_output=True, text=True)
        if proc.returncode == 0:
            passed += len(py)
        else:
            bad = re.search(r"FAILED block at (\S+)", proc.stderr)
            where = bad.group(1) if bad else page
            done = [f"{page}:{line}" for line, _ in py].index(where) if bad else 0
            passed += done
            failed += 1
            notes.append(f"{where}: " + (proc.stderr.strip().splitlines() or ["failed"])[-2 if bad else -1])
    for line, lang, code, skip in blocks(path):
        if lang not in ("sh", "bash") or skip:
            continue
        proc = subprocess.run(["bash", "-euo", "pipefail", "-c", code], cwd=cwd, env=env, timeout=timeout,
                              capture_output=True, text=True)
        if proc.returncode == 0:
            passed += 1
        else:
            failed += 1
            notes.append(f"{page}:{line}: exit {proc.returncode}: "
                         + (proc.stderr.strip().splitlines() or ["(no message)"])[-1])
    return passed, failed, notes


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pages", nargs="*", help="Markdown files (default: README.md and docs/*.md)")
    parser.add_argument("--db", help="market database to run on (default: a small synthetic market built here)")
    parser.add_argument("--timeout", type=float, default=1800, help="seconds a page may take")
    args = parser.parse_args(argv)
    pages = [Path(p).resolve() for p in args.pages] or [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
    with tempfile.TemporaryDirectory(prefix="velquor-docs-") as tmp:
        scratch = Path(tmp)
        db = Path(args.db).resolve() if args.db else scratch / "market.duckdb"
        if not args.db:
            from zorvata.demo import build_demo

            build_demo(db, **SMALL_MARKET)
        venv_bin = Path(sys.executable).parent
        env = dict(os.environ, ZORVATA_DB=str(db), VELQUOR_RISKMODEL_DIR=str(scratch / "estimates"),
                   PATH=f"{venv_bin}{os.pathsep}{os.environ.get('PATH', '')}", MPLBACKEND="Agg")
        total_pass = total_fail = 0
        for path in pages:
            cwd = scratch / path.stem
            cwd.mkdir()
            (cwd / ".venv").symlink_to(ROOT / ".venv")  # blocks call .venv/bin/python as a reader would
            t = time.perf_counter()
            passed, failed, notes = run_page(path, cwd, env, args.timeout)
            total_pass += passed
            total_fail += failed
            print(f"{path.relative_to(ROOT)}: {passed} passed, {failed} failed ({time.perf_counter() - t:.0f} s)",
                  flush=True)
            for note in notes:
                print(f"  {note}", flush=True)
    print(f"{total_pass} passed, {total_fail} failed")
    return 1 if total_fail else 0


if __name__ == "__main__":
    sys.exit(main())
