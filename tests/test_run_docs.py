"""tools/run_docs.py, the CI step that runs the code blocks of README.md and docs/ and checks the outputs they
show: how outputs are matched, how a page is read, and runs of small pages (a broken block, a changed
number, an update)."""

from __future__ import annotations

import importlib.util
import re
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def docs():
    found = importlib.util.spec_from_file_location("run_docs", ROOT / "tools" / "run_docs.py")
    module = importlib.util.module_from_spec(found)
    sys.modules["run_docs"] = module  # its dataclasses look their module up
    found.loader.exec_module(module)
    yield module
    sys.modules.pop("run_docs", None)


class TestMatching:
    @pytest.mark.parametrize("shown, printed", [
        ("0.008986", "0.008987"),                       # the last digit of a solve moves with the arithmetic
        ("0     TrackingErrorLimit  True    0.008986     1",
         "0   TrackingErrorLimit   True  0.008986   1"),  # columns widen or narrow
        ("0.21844", "0.218441"),                        # pandas drops a trailing zero
        ("-0.0000", "0.0000"),
        ("8.57e-05", "8.571e-05"),
        ("RiskParity ... done", "RiskParity on 300 stocks: done"),
        ("Traceback (most recent call last):\n  ...\nValueError: x", "Traceback (most recent call last):\n  ...\nValueError: x"),
    ])
    def test_matches(self, docs, shown, printed):
        assert docs.matches(shown, printed)

    @pytest.mark.parametrize("shown, printed", [
        ("0.008984", "0.008994"),                       # a changed model: ten units in the last digit
        ("0.25", "0.2469134"),                          # a rounded number typed into the page
        ("unfilled_trades 52", "unfilled_trades 53"),   # counts are exact
        ("2026-11-30", "2026-11-29"),
        ("000300.XSHG 0.5", "000301.XSHG 0.5"),         # ids are text, not numbers
        ("SW05 0.1", "SW06 0.1"),
        ("a b", "ab"),
        ("0.5 1", "0.5"),
    ])
    def test_differs(self, docs, shown, printed):
        assert not docs.matches(shown, printed)

    def test_relative_tolerance(self, docs):
        assert not docs.matches("excess 8.57e-05", "excess 8.9e-05")
        assert docs.matches("excess 8.57e-05", "excess 8.9e-05", rtol=0.05)


class TestParse:
    def test_blocks_markers_and_options(self, docs):
        blocks = docs.parse(textwrap.dedent("""\
            text
            <!-- docs: skip (needs a cluster) -->
            ```python
            x = 1
            ```

            <!-- docs: file cons.toml -->

            ```toml
            a = 1
            ```
            1. item

               ```python rtol=0.01
               print(2)
               ```
            ```
            a bare block
            ```
            """))
        assert [(b.lang, b.line, b.skip, b.file) for b in blocks] == [
            ("python", 3, "needs a cluster", None), ("toml", 9, None, "cons.toml"), ("python", 14, None, None),
            ("", 17, None, None)]
        assert blocks[2].code == "print(2)\n" and blocks[2].options == {"rtol": "0.01"}

    def test_session(self, docs):
        items = docs.split_session(">>> for i in range(2):\n...     print(i)\n0\n1\n>>> x = 1\n>>> x\n1\n")
        assert items == [([">>> for i in range(2):", "...     print(i)"], ["0", "1"]), ([">>> x = 1"], []),
                         ([">>> x"], ["1"])]
        assert docs.statement_source(items[0][0]) == "for i in range(2):\n    print(i)\n"


def _page(tmp_path, text: str) -> Path:
    path = tmp_path / "page.md"
    path.write_text(textwrap.dedent(text))
    return path


class TestRun:
    def test_a_good_page(self, docs, tmp_path, capsys):
        page = _page(tmp_path, """\
            ```python
            x = 0.1234567
            print(f"{x:.4f}", 42)
            ```

            ```output
            0.1235 42
            ```

            <!-- docs: file cfg.toml -->
            ```toml
            a = 1
            ```

            ```sh
            cat cfg.toml
            ```

            ```output
            a = 1
            ```

            ```python
            >>> y = x * 2
            >>> y
            0.2469134
            >>> 1 / 0
            Traceback (most recent call last):
              ...
            ZeroDivisionError: division by zero
            ```

            <!-- docs: skip (needs a cluster) -->
            ```python
            client = Client("tcp://scheduler:8786")
            ```
            """)
        assert docs.main([str(page)]) == 0
        out = capsys.readouterr().out
        assert "4 run, 5 outputs checked, 1 skipped, 0 failed" in out and "needs a cluster" in out

    @pytest.mark.parametrize("block, message", [
        ("```python\nprint(undefined_name)\n```\n", "NameError: name 'undefined_name' is not defined"),
        ("```sh\nfalse\n```\n", "exit status 1"),
        ("```python\n>>> 1 / 0\n```\n", "+ZeroDivisionError: division by zero"),
        ("```toml\na = = 1\n```\n", "TOMLDecodeError"),
        ("<!-- docs: skip (a reason) -->\n```python\ndef f(:\n```\n", "skipped block does not compile"),
        ("```output\n1\n```\n", "must follow a Python (not a session) or shell block"),
    ])
    def test_a_broken_block_fails_the_run(self, docs, tmp_path, capsys, block, message):
        page = _page(tmp_path, block + "\n```python\nopen('after', 'w')\n```\n")
        assert docs.main([str(page)]) == 1
        out = capsys.readouterr().out
        assert message in out and re.search(r"page\.md:[12]: ", out), out

    def test_a_changed_number_fails_and_update_rewrites_it(self, docs, tmp_path, capsys):
        page = _page(tmp_path, """\
            - a list item:

              ```python
              print(0.008994)
              ```

              ```output
              0.008984
              ```

            ```python
            >>> 2 + 2
            5
            >>> "kept"
            'kept'
            ```
            """)
        assert docs.main([str(page)]) == 1
        out = capsys.readouterr().out
        assert "-0.008984\n" in out.replace("    ", "") and "+0.008994" in out and "+4" in out
        assert docs.main([str(page), "--update"]) == 0
        assert "updated 2 output(s)" in capsys.readouterr().out
        text = page.read_text()
        assert "  ```output\n  0.008994\n  ```" in text and ">>> 2 + 2\n4\n>>> \"kept\"\n'kept'\n" in text
        assert docs.main([str(page)]) == 0

    def test_update_leaves_an_elided_output_to_a_hand_edit(self, docs, tmp_path, capsys):
        page = _page(tmp_path, "```python\nprint('a b c')\n```\n\n```output\nx ... c\n```\n")
        before = page.read_text()
        assert docs.main([str(page), "--update"]) == 1
        assert "edit it by hand" in capsys.readouterr().out and page.read_text() == before


def test_every_page_parses(docs):
    """The static half of the docs run, cheap enough for every test run: each block compiles or parses and
    every output block follows a block that prints it."""
    for path in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        blocks = docs.parse(path.read_text())
        for before, block in zip([None, *blocks], blocks, strict=False):
            name = f"{path.name}:{block.line}"
            assert docs._syntax_check(block, name) is None, name
            if block.lang == "output":
                assert before is not None and docs._kind(before) in ("python", "sh"), name
