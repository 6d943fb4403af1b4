"""Runs the code blocks of README.md and docs/*.md as written and checks the output the pages show.

    python tools/run_docs.py [PAGE.md ...] [--update] [--db FILE] [--timeout S]

Each page runs in a fresh interpreter in a scratch directory of its own, its blocks in order, the way a reader
follows it: a Python block sees what the page's earlier blocks defined, a shell block the files they wrote.
The blocks run on the demo market (``ZORVATA_DB`` is unset for them; ``--db`` names another market, on which
the pages' outputs will differ).

What runs, by the fence's language:

- ``python``: executed. A block written as an interactive session (``>>>`` prompts) runs statement by
  statement, and the lines under each statement are the output it shows: what it prints, the ``repr`` of an
  expression's value, or for an exception ``Traceback (most recent call last):``, an indented ``...`` and the
  exception's last line(s).
- ``sh`` / ``bash``: run with ``bash -euo pipefail``, ``.venv/bin`` first on ``PATH`` (and ``.venv`` linked
  into the scratch directory, so ``.venv/bin/velquor`` works as written).
- ``output``: what the block before it printed on stdout, checked against the run.
- ``toml``: parsed.
- anything else (``text``, no language): shown only.

Markers, an HTML comment on the line before a fence (not shown on the rendered page):

- ``<!-- docs: skip (reason) -->``: the block is not run (it needs something CI does not have); Python is
  still compiled and shell parsed (``bash -n``). Every skipped block is listed with its reason.
- ``<!-- docs: file NAME -->``: the block's text is written to NAME in the page's directory before the next
  block runs (a configuration or constraints file the page's commands read).

Outputs are compared with every run of white space as one space (table columns may widen), ``...`` standing
for any text, and numbers at the precision they are printed: a number with a decimal point or an exponent
matches when within 1.5 units of the last digit of the finer of the two (the page's or the run's), or within
a relative 1e-4 (``rtol=X`` after the fence's language sets another); whole numbers (counts, dates, ids) must
be equal. A mismatch is shown as a diff and fails the run.

``--update`` rewrites every output that no longer matches with what the run printed (interactive sessions
too) on the pages whose blocks all ran; an output holding ``...`` is reported for a hand edit instead. Prints
one line per page and a closing ``N blocks run, N outputs checked, N skipped, N failed``; exits 1 on a failure.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import difflib
import io
import json
import linecache
import os
import re
import subprocess
import sys
import tempfile
import time
import tomllib
import traceback
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FENCE = re.compile(r"^(?P<indent>\s*)```(?P<info>[^`]*)$")
MARKER = re.compile(r"^\s*<!--\s*docs:\s*(?P<kind>skip|file)\b\s*(?P<arg>.*?)\s*-->\s*$")
RUN_LANGS = {"python", "sh", "bash"}
#: relative tolerance of a printed number with a fractional part, unless the output block says rtol=
RTOL = 1e-4
NUMBER = r"(?<![\w.])[-+]?(?:\d+\.\d*|\.\d+|\d+)(?:[eE][-+]?\d+)?(?![\w.])"
TRACEBACK_HEAD = "Traceback (most recent call last):\n  ...\n"


@dataclasses.dataclass
class Block:
    """A fenced block of a page: its language, text and where it sits (0-based lines of the fences)."""

    start: int
    end: int
    indent: str
    lang: str
    options: dict
    code: str
    skip: str | None = None
    file: str | None = None

    @property
    def line(self) -> int:
        return self.start + 1

    @property
    def session(self) -> bool:
        return self.lang == "python" and any(ln.startswith(">>>") for ln in self.code.splitlines())


def parse(text: str) -> list[Block]:
    """The fenced blocks of a Markdown text, with their markers."""
    lines = text.splitlines()
    out: list[Block] = []
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, info = m.group("indent"), m.group("info").split()
        j = i + 1
        while j < len(lines) and lines[j].strip() != "```":
            j += 1
        body = [ln[len(indent):] if ln.startswith(indent) else ln.lstrip() for ln in lines[i + 1:j]]
        lang = info[0].lower() if info else ""
        options = dict(o.split("=", 1) for o in info[1:] if "=" in o)
        block = Block(i, j, indent, lang, options, "\n".join(body) + ("\n" if body else ""))
        k = i - 1
        while k >= 0 and not lines[k].strip():
            k -= 1
        mark = MARKER.match(lines[k]) if k >= 0 else None
        if mark and mark.group("kind") == "skip":
            block.skip = mark.group("arg").strip("() ") or "no reason given"
        elif mark:
            block.file = mark.group("arg")
        out.append(block)
        i = j + 1
    return out


# ---------------------------------------------------------------------------------------------- sessions


def split_session(code: str) -> list[tuple[list[str], list[str]]]:
    """An interactive session as (statement lines with their prompts, expected output lines) pairs."""
    items: list[tuple[list[str], list[str]]] = []
    prompt_open = False
    for ln in code.splitlines():
        if ln.startswith(">>>"):
            items.append(([ln], []))
            prompt_open = True
        elif prompt_open and (ln.startswith("... ") or ln == "..."):
            items[-1][0].append(ln)
        elif items:
            items[-1][1].append(ln)
            prompt_open = False
    return items


def statement_source(prompted: list[str]) -> str:
    return "\n".join(ln[4:] for ln in prompted) + "\n"


def join_session(items: list[tuple[list[str], list[str]]]) -> str:
    return "".join("\n".join(src + out) + "\n" for src, out in items)


# ---------------------------------------------------------------------------------------------- matching


def _normalise(text: str) -> str:
    """The text without trailing white space and blank lines around it (indentation kept)."""
    lines = [ln.rstrip() for ln in text.splitlines()]
    while lines and not lines[0]:
        lines.pop(0)
    return "\n".join(lines).rstrip()


def _unit(number: str) -> float:
    """The value of one unit in the last printed digit of a number."""
    mantissa, _, power = number.lower().partition("e")
    return 10.0 ** ((int(power) if power else 0) - len(mantissa.partition(".")[2]))


def _close(expected: str, actual: str, rtol: float) -> bool:
    """Whether a printed number of the page matches the run's (see the module's docstring)."""
    if not re.search(r"[.eE]", expected):
        return expected.lstrip("+") == actual.lstrip("+")
    unit = min(_unit(expected), _unit(actual))  # the finer of the two: a page's rounding is not a match
    return abs(float(actual) - float(expected)) <= max(1.5 * unit, rtol * abs(float(expected)))


def matches(expected: str, actual: str, rtol: float = RTOL) -> bool:
    """Whether a run's output matches what the page shows."""
    text = _normalise(expected).strip()
    parts, numbers, pos = [], [], 0
    for m in re.finditer(rf"\.\.\.|{NUMBER}|\s+", text):
        parts.append(re.escape(text[pos:m.start()]))
        token = m.group()
        if token == "...":
            parts.append(".*?")
        elif token.isspace():
            parts.append(r"\s+")
        else:
            parts.append(f"({NUMBER})")
            numbers.append(token)
        pos = m.end()
    parts.append(re.escape(text[pos:]))
    found = re.fullmatch("".join(parts), _normalise(actual).strip(), re.S)
    return found is not None and all(_close(e, a, rtol) for e, a in zip(numbers, found.groups(), strict=True))


def diff(expected: str, actual: str) -> str:
    return "\n".join(difflib.unified_diff(_normalise(expected).splitlines(), _normalise(actual).splitlines(),
                                          "shown on the page", "printed by the run", lineterm=""))


# ---------------------------------------------------------------------------------------------- the worker


def _exec(src: str, filename: str, ns: dict, mode: str = "exec") -> None:
    linecache.cache[filename] = (len(src), None, src.splitlines(True), filename)
    exec(compile(src, filename, mode), ns)  # noqa: S102 - running the docs' own code is the point


def _run_session(code: str, filename: str, ns: dict) -> list[str]:
    outputs = []
    for prompted, _ in split_session(code):
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            try:
                _exec(statement_source(prompted), filename, ns, "single")
            except BaseException as exc:  # noqa: BLE001 - shown as the session would show it
                if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                    raise
                print(TRACEBACK_HEAD + "".join(traceback.format_exception_only(exc)), end="")
                traceback.print_exc(file=sys.stderr)
        outputs.append(buf.getvalue())
    return outputs


def _traceback(exc: BaseException) -> str:
    """The traceback from the page's own code on (this runner's frames left out)."""
    tb = exc.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename == __file__:
        tb = tb.tb_next
    return "".join(traceback.format_exception(type(exc), exc, tb))


def worker(job_path: str, results_path: str) -> int:
    """Runs a page's blocks in order in this process (cwd: the page's directory); one JSON line per block."""
    job = json.loads(Path(job_path).read_text())
    ns: dict = {"__name__": "__main__", "__builtins__": __builtins__}
    with open(results_path, "a") as results:
        for b in job["blocks"]:
            name, t = f"{job['page']}:{b['line']}", time.perf_counter()
            res: dict = {"index": b["index"], "ok": True, "output": "", "error": ""}
            try:
                if b["kind"] == "file":
                    if b["lang"] == "toml":
                        tomllib.loads(b["code"])
                    Path(b["file"]).write_text(b["code"])
                elif b["kind"] == "toml":
                    tomllib.loads(b["code"])
                elif b["kind"] == "session":
                    res["statements"] = _run_session(b["code"], name, ns)
                elif b["kind"] == "python":
                    buf = io.StringIO()
                    try:
                        with contextlib.redirect_stdout(buf):
                            _exec(b["code"], name, ns)
                    finally:
                        res["output"] = buf.getvalue()
                else:
                    sys.stdout.flush()
                    proc = subprocess.run(["bash", "-euo", "pipefail", "-c", b["code"]], capture_output=True,
                                          text=True, stdin=subprocess.DEVNULL)
                    res["output"] = proc.stdout
                    sys.stderr.write(proc.stderr)
                    if proc.returncode:
                        res.update(ok=False, error=f"exit status {proc.returncode}\n{proc.stderr}")
            except BaseException as exc:  # noqa: BLE001 - reported, and the page stops here
                if isinstance(exc, KeyboardInterrupt):
                    raise
                res.update(ok=False, error=_traceback(exc))
            res["seconds"] = time.perf_counter() - t
            results.write(json.dumps(res) + "\n")
            results.flush()
            if not res["ok"]:
                return 1
    return 0


# ---------------------------------------------------------------------------------------------- the runner


@dataclasses.dataclass
class PageReport:
    run: int = 0
    checked: int = 0
    skipped: list = dataclasses.field(default_factory=list)
    failures: list = dataclasses.field(default_factory=list)
    edits: list = dataclasses.field(default_factory=list)  # (first line, end line, new lines) 0-based
    held: list = dataclasses.field(default_factory=list)
    slowest: list = dataclasses.field(default_factory=list)  # (seconds, line) of the slowest block


def _syntax_check(block: Block, name: str) -> str | None:
    if block.lang == "python":
        src = join_statements(block.code) if block.session else block.code
        try:
            compile(src, name, "exec")
        except SyntaxError as e:
            return f"does not compile: {e}"
    elif block.lang in ("sh", "bash"):
        proc = subprocess.run(["bash", "-n", "-c", block.code], capture_output=True, text=True)
        if proc.returncode:
            return f"does not parse: {proc.stderr.strip()}"
    elif block.lang == "toml":
        try:
            tomllib.loads(block.code)
        except tomllib.TOMLDecodeError as e:
            return f"does not parse: {e}"
    return None


def join_statements(code: str) -> str:
    return "".join(statement_source(src) for src, _ in split_session(code))


def _kind(block: Block) -> str | None:
    if block.file:
        return "file"
    if block.lang == "toml":
        return "toml"
    if block.lang == "python":
        return "session" if block.session else "python"
    if block.lang in ("sh", "bash"):
        return "sh"
    return None


def _indent(text: str, indent: str) -> list[str]:
    return [indent + ln if ln else ln for ln in text.splitlines()]


def check_page(path: Path, blocks: list[Block], results: dict, update: bool, log: str) -> PageReport:
    """Compares what the page shows with the worker's results."""
    page = path.relative_to(ROOT).as_posix() if path.is_relative_to(ROOT) else str(path)
    rep = PageReport()
    previous: Block | None = None
    stopped = False
    for block in blocks:
        name = f"{page}:{block.line}"
        if block.skip:
            rep.skipped.append(f"{name}: {block.skip}")
            problem = _syntax_check(block, name)
            if problem:
                rep.failures.append(f"{name}: skipped block {problem}")
            continue
        if block.lang == "output":
            if previous is None or _kind(previous) not in ("python", "sh"):
                rep.failures.append(f"{name}: an output block must follow a Python (not a session) or shell block")
                continue
            res = results.get(id(previous))
            if res is None or not res["ok"]:
                continue
            rep.checked += 1
            actual = res["output"]
            if not matches(block.code, actual, float(block.options.get("rtol", RTOL))):
                _mismatch(rep, name, block.code, block.code, actual, update,
                          lambda b=block, a=actual: (b.start + 1, b.end, _indent(_normalise(a), b.indent)))
            continue
        kind = _kind(block)
        if kind is None:
            continue
        previous = block
        res = results.get(id(block))
        if res is None:
            if not stopped:
                rep.failures.append(f"{name}: not run (the page's run ended before it)\n{log}")
            stopped = True
            continue
        rep.run += 1
        if not res["ok"]:
            rep.failures.append(f"{name}: failed\n{res['error'].rstrip()}")
            stopped = True
            continue
        if kind == "session":
            _check_session(rep, name, block, res["statements"], update)
    return rep


def _check_session(rep: PageReport, name: str, block: Block, outputs: list[str], update: bool) -> None:
    items = split_session(block.code)
    rtol = float(block.options.get("rtol", RTOL))
    wrong = [i for i, ((_, shown), out) in enumerate(zip(items, outputs, strict=True))
             if not matches("\n".join(shown), out, rtol)]
    rep.checked += len(items)
    if not wrong:
        return
    expected = "\n".join("\n".join(items[i][0] + items[i][1]) for i in wrong)
    actual = "\n".join("\n".join(items[i][0] + _normalise(outputs[i]).splitlines()) for i in wrong)
    new = [(src, shown if i not in wrong else _normalise(outputs[i]).splitlines())
           for i, ((src, shown)) in enumerate(items)]
    shown = "\n".join(ln for i in wrong for ln in items[i][1])
    _mismatch(rep, name, shown, expected, actual, update,
              lambda: (block.start + 1, block.end, _indent(join_session(new).rstrip("\n"), block.indent)))


def _elides(shown: str) -> bool:
    """Whether an output shown on the page leaves text out with "..." (a traceback's own "  ..." aside)."""
    return any("..." in ln for ln in shown.splitlines() if ln.strip() != "...")


def _mismatch(rep: PageReport, name: str, shown: str, expected: str, actual: str, update: bool, edit) -> None:
    if update and not _elides(shown):
        rep.edits.append(edit())
    elif update:
        rep.held.append(f"{name}: leaves text out with '...'; edit it by hand\n{diff(expected, actual)}")
    else:
        rep.failures.append(f"{name}: the output differs from the page\n{diff(expected, actual)}")


def apply_edits(path: Path, edits: list) -> None:
    lines = path.read_text().splitlines()
    for first, end, new in sorted(edits, reverse=True):
        lines[first:end] = new
    path.write_text("\n".join(lines) + "\n")


def run_page(path: Path, scratch: Path, env: dict, timeout: float, update: bool) -> PageReport:
    blocks = parse(path.read_text())
    page = path.relative_to(ROOT).as_posix() if path.is_relative_to(ROOT) else path.name
    runnable = [b for b in blocks if not b.skip and _kind(b)]
    cwd = scratch / path.stem
    cwd.mkdir()
    (cwd / ".venv").symlink_to(ROOT / ".venv")  # blocks call .venv/bin/... as a reader in the checkout would
    job = {"page": page, "blocks": [dict(index=i, line=b.line, kind=_kind(b), lang=b.lang, code=b.code, file=b.file)
                                    for i, b in enumerate(runnable)]}
    (cwd / ".job.json").write_text(json.dumps(job))
    results_path, log_path = cwd / ".results.jsonl", cwd / ".log"
    with open(log_path, "w") as log:
        try:
            subprocess.run([sys.executable, str(Path(__file__).resolve()), "--worker", str(cwd / ".job.json"),
                            str(results_path)], cwd=cwd, env=env, timeout=timeout, stdout=log, stderr=log,
                           stdin=subprocess.DEVNULL)
            timed_out = ""
        except subprocess.TimeoutExpired:
            timed_out = f"(timed out after {timeout:.0f} s)\n"
    by_index = {}
    if results_path.exists():
        by_index = {r["index"]: r for r in map(json.loads, results_path.read_text().splitlines())}
    results = {id(b): by_index[i] for i, b in enumerate(runnable) if i in by_index}
    slow = sorted(((by_index[i]["seconds"], b.line) for i, b in enumerate(runnable) if i in by_index), reverse=True)
    tail = "\n".join(log_path.read_text().splitlines()[-30:])
    rep = check_page(path, blocks, results, update, timed_out + tail)
    rep.slowest = slow[:1]
    return rep


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--worker"]:
        return worker(argv[1], argv[2])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pages", nargs="*", help="Markdown files (default: README.md and docs/*.md)")
    parser.add_argument("--update", action="store_true",
                        help="rewrite the outputs the pages show with what the run printed")
    parser.add_argument("--db", help="market database to run on (default: the demo market)")
    parser.add_argument("--timeout", type=float, default=900, help="seconds a page may take (default 900)")
    args = parser.parse_args(argv)
    pages = [Path(p).resolve() for p in args.pages] or [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
    venv_bin = Path(sys.executable).parent
    env = {k: v for k, v in os.environ.items() if k not in ("ZORVATA_DB", "VELQUOR_DEBUG")}
    env.update(PATH=f"{venv_bin}{os.pathsep}{os.environ.get('PATH', '')}", MPLBACKEND="Agg")
    if args.db:
        env["ZORVATA_DB"] = str(Path(args.db).resolve())
    totals = PageReport()
    t0 = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="velquor-docs-") as tmp:
        for path in pages:
            t = time.perf_counter()
            rep = run_page(path, Path(tmp), env, args.timeout, args.update)
            name = path.relative_to(ROOT) if path.is_relative_to(ROOT) else path
            print(f"{name}: {rep.run} run, {rep.checked} outputs checked, {len(rep.skipped)} skipped, "
                  f"{len(rep.failures)} failed ({time.perf_counter() - t:.0f} s"
                  + "".join(f"; slowest block line {line}, {sec:.0f} s" for sec, line in rep.slowest) + ")", flush=True)
            for note in rep.skipped:
                print(f"  skipped {note}")
            for note in rep.failures + rep.held:
                print("  " + note.replace("\n", "\n    "), flush=True)
            if rep.edits and not rep.failures:
                apply_edits(path, rep.edits)
                print(f"  updated {len(rep.edits)} output(s)")
            elif rep.edits:
                print("  not updated: fix the failures first")
            totals.run += rep.run
            totals.checked += rep.checked
            totals.skipped += rep.skipped
            totals.failures += rep.failures + rep.held
    print(f"{totals.run} blocks run, {totals.checked} outputs checked, {len(totals.skipped)} skipped, "
          f"{len(totals.failures)} failed in {time.perf_counter() - t0:.0f} s")
    return 1 if totals.failures else 0


if __name__ == "__main__":
    sys.exit(main())
