#!/usr/bin/env python3
"""Fails when the modules of the packages under src/ import each other in a circle.

Every import statement counts, those inside functions too (a deferred import only hides a circle until the
day someone moves it to the top), except those under ``if TYPE_CHECKING:``. ``from pkg import name`` counts as
an import of the module ``pkg.name`` when there is one, else of ``pkg``. Importing a submodule runs its
package's ``__init__`` first, but that edge is left out: every package imports its own submodules, and only
explicit imports can be rearranged.

    python tools/check_import_cycles.py [SRC_DIR]     # exit status 1 and the circles on stderr
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path


def module_names(src: Path) -> dict[str, Path]:
    """Dotted name -> file of every module (.py, and the .pyi of an extension module) under `src`."""
    names: dict[str, Path] = {}
    for path in sorted(src.rglob("*.py*")):
        if path.suffix not in (".py", ".pyi") or "__pycache__" in path.parts:
            continue
        parts = list(path.relative_to(src).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        names.setdefault(".".join(parts), path)
    return names


def _is_type_checking(test: ast.expr) -> bool:
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING")


def _imports(tree: ast.AST):
    """Import nodes of a module, skipping ``if TYPE_CHECKING:`` bodies."""
    stack = [tree]
    while stack:
        node = stack.pop()
        if isinstance(node, ast.If) and _is_type_checking(node.test):
            stack.extend(node.orelse)
            continue
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            yield node
        stack.extend(ast.iter_child_nodes(node))


def imports_of(name: str, path: Path, known: dict[str, Path]) -> set[str]:
    is_package = path.stem == "__init__"
    package = name if is_package else name.rpartition(".")[0]
    out: set[str] = set()
    for node in _imports(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        else:
            if node.level:
                base = package.split(".")
                base = base[: len(base) - (node.level - 1)]
                mod = ".".join(base + ([node.module] if node.module else []))
            else:
                mod = node.module or ""
            targets = [f"{mod}.{alias.name}" if f"{mod}.{alias.name}" in known else mod for alias in node.names]
        for target in targets:
            while target and target not in known:  # `import a.b.c` of a name that is an attribute
                target = target.rpartition(".")[0]
            if target and target != name:
                out.add(target)
    return out


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """Strongly connected components of more than one module (Tarjan), each sorted."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    on_stack: set[str] = set()
    stack: list[str] = []
    found: list[list[str]] = []
    counter = [0]

    def visit(v: str) -> None:
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                comp.append(w)
                if w == v:
                    break
            if len(comp) > 1:
                found.append(sorted(comp))

    sys.setrecursionlimit(max(sys.getrecursionlimit(), 10_000))
    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


def main(argv: list[str]) -> int:
    src = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parents[1] / "src"
    known = module_names(src)
    graph = {name: imports_of(name, path, known) for name, path in known.items()}
    found = cycles(graph)
    for comp in found:
        members = set(comp)
        edges = ", ".join(f"{a} -> {b}" for a in comp for b in sorted(graph[a] & members))
        print(f"import circle among {', '.join(comp)}: {edges}", file=sys.stderr)
    if not found:
        print(f"no import circle among {len(known)} modules")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
