"""The `velquor` command: optimise a pool, report on a portfolio's risk, trace a frontier.

Exit status: 0 success, 1 the optimisation (or another step) failed, 2 bad input (arguments, files, ids,
dates). Errors are printed as one line; ``--debug`` prints the traceback as well.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import traceback
import warnings
from pathlib import Path

from .const import RiskModel

__all__ = ["main"]

PROG = "velquor"

EXAMPLES = """\
examples:
  velquor optimize 000300.XSHG --date 2026-11-30 --bounds '*=0:0.05' --out weights.csv
  velquor optimize 000300.XSHG --date 2026-11-30 --objective min_tracking_error --benchmark 000300.XSHG
  velquor optimize pool.txt --date 2026-11-30 --objective mean_variance --param risk_aversion_coefficient=2
  velquor report weights.csv --benchmark 000300.XSHG --out report/report.md
  velquor frontier 000300.XSHG --date 2026-11-30 --points 20 --bounds '*=0:0.1' --figure frontier.png
"""

#: objective names on the command line (snake case of the class names, which are accepted too)
OBJECTIVES = {
    "min_variance": "MinVariance", "min_active_variance": "MinActiveVariance",
    "min_tracking_error": "MinTrackingError", "mean_variance": "MeanVariance",
    "active_mean_variance": "ActiveMeanVariance", "risk_parity": "RiskParity",
    "max_sharpe_ratio": "MaxSharpeRatio", "max_information_ratio": "MaxInformationRatio",
    "max_indicator": "MaxIndicator", "min_style_deviation": "MinStyleDeviation",
}


class BadInput(Exception):
    """A command-line argument or an input file the command cannot use (exit status 2)."""


class _Parser(argparse.ArgumentParser):
    """argparse with one-line errors and exit status 2."""

    def error(self, message):
        command = self.prog[len(PROG):].strip()
        raise BadInput(f"{command + ': ' if command else ''}{message} (see --help)")


# ------------------------------------------------------------------------------------------------- inputs

def _read_table(path: Path):
    import pandas as pd

    suffix = path.suffix.lower()
    try:
        if suffix == ".parquet":
            return pd.read_parquet(path)
        if suffix == ".json":
            data = json.loads(path.read_text())
            if isinstance(data, dict) and "weights" in data and isinstance(data["weights"], dict):
                frame = pd.DataFrame({"order_book_id": list(data["weights"]),
                                      "weight": list(data["weights"].values())})
                if "date" in data:
                    frame.insert(0, "date", data["date"])
                return frame
            if isinstance(data, dict):
                return pd.DataFrame({"order_book_id": list(data), "value": list(data.values())})
            if isinstance(data, list) and all(isinstance(v, str) for v in data):
                return pd.DataFrame({"order_book_id": data})
            return pd.DataFrame(data)
        if suffix in (".csv", ".tsv"):
            return pd.read_csv(path, sep="\t" if suffix == ".tsv" else ",", dtype={"order_book_id": str})
        # any other file: one id per line (blank lines and '#' comments skipped)
        ids = [ln.split("#", 1)[0].strip() for ln in path.read_text().splitlines()]
        return pd.DataFrame({"order_book_id": [i for i in ids if i]})
    except (OSError, ValueError, UnicodeDecodeError) as e:
        raise BadInput(f"cannot read {path}: {e}") from e


def _id_column(frame, path) -> str:
    if "order_book_id" in frame.columns:
        return "order_book_id"
    if len(frame.columns) == 0:
        raise BadInput(f"{path} holds no columns")
    return frame.columns[0]


def read_series(path: str | Path, what: str):
    """A Series by order_book_id (or style name) from a file: CSV/TSV/Parquet with an id column and a value
    column, or a JSON object {id: value}."""
    import pandas as pd

    p = Path(path)
    if not p.is_file():
        raise BadInput(f"{what}: no such file: {p}")
    frame = _read_table(p)
    key = _id_column(frame, p)
    values = [c for c in frame.columns if c not in (key, "date")]
    if not values:
        raise BadInput(f"{what}: {p} needs a value column next to {key}")
    col = "weight" if "weight" in values else "value" if "value" in values else values[0]
    try:
        return pd.Series(frame[col].to_numpy(dtype=float), index=frame[key].astype(str).to_numpy(), name=col)
    except (TypeError, ValueError) as e:
        raise BadInput(f"{what}: {p}: column {col} must hold numbers ({e})") from e


def read_pool(items: list[str], date) -> list[str]:
    """Pool from command-line items: files of ids, comma-separated ids, or an index id (its constituents
    on `date`)."""
    import zorvata

    pool: list[str] = []
    for item in items:
        p = Path(item)
        if p.is_file():
            frame = _read_table(p)
            pool.extend(frame[_id_column(frame, p)].astype(str))
            continue
        parts = [s.strip() for s in item.replace(";", ",").split(",") if s.strip()]
        if len(parts) == 1:
            record = zorvata.instruments(parts[0])
            if record is not None and record.type == "INDX":
                weights = zorvata.index_weights(parts[0], date)
                if weights is None or len(weights) == 0:
                    raise BadInput(f"index {parts[0]} has no constituents on {date}")
                pool.extend(map(str, weights.index))
                continue
            if record is None and ("/" in item or Path(item).suffix.lower() in (".csv", ".txt", ".json",
                                                                                ".parquet", ".tsv")):
                raise BadInput(f"no such file: {item}")
        pool.extend(parts)
    if not pool:
        raise BadInput("the pool is empty")
    known = {r.order_book_id for r in zorvata.instruments(list(dict.fromkeys(pool)))}
    unknown = [i for i in dict.fromkeys(pool) if i not in known]
    if unknown:
        shown = ", ".join(unknown[:10]) + (f" and {len(unknown) - 10} more" if len(unknown) > 10 else "")
        warnings.warn(f"not in the market data, left out: {shown}", stacklevel=2)
    return pool


def parse_bounds(entries: list[str]) -> dict | None:
    """`ID=LO:HI` (either side may be empty for no bound) into the bounds mapping of portfolio_optimize."""
    if not entries:
        return None
    bnds: dict = {}
    for entry in entries:
        key, sep, rng = entry.partition("=")
        lo, sep2, hi = rng.partition(":")
        if not sep or not sep2 or not key.strip():
            raise BadInput(f"bounds must look like 'ID=LOWER:UPPER' or '*=0:0.05', got {entry!r}")

        def number(text: str):
            text = text.strip()
            if text == "" or text.lower() == "none":
                return None
            try:
                value = float(text)
            except ValueError:
                raise BadInput(f"bound {text!r} in {entry!r} is not a number") from None
            if not math.isfinite(value):
                raise BadInput(f"bound {text!r} in {entry!r} is not a finite number")
            return value

        pair = (number(lo), number(hi))
        if key.strip() == "*" and None in pair:
            # The driver accepts an open side for named stocks only.
            raise BadInput(f"under '*' both bounds must be numbers, got {entry!r}")
        bnds[key.strip()] = pair
    return bnds


def parse_value(text: str):
    """A parameter value: JSON (numbers, true/false, objects, lists), a file of values by id, or text."""
    try:
        return json.loads(text)
    except ValueError:
        pass
    if Path(text).is_file():
        return read_series(text, "parameter")
    return text


def parse_params(entries: list[str]) -> dict:
    params = {}
    for entry in entries or []:
        key, sep, value = entry.partition("=")
        if not sep or not key.strip():
            raise BadInput(f"parameters must look like KEY=VALUE, got {entry!r}")
        params[key.strip()] = parse_value(value.strip())
    return params


def make_objective(name: str, params: dict):
    from . import objective as obj

    cls_name = OBJECTIVES.get(name.lower().replace("-", "_"), name)
    cls = getattr(obj, cls_name, None)
    if not isinstance(cls, type) or cls_name not in OBJECTIVES.values():
        raise BadInput(f"unknown objective {name!r}; choose one of {', '.join(OBJECTIVES)}")
    try:
        return cls(**params)
    except TypeError as e:
        raise BadInput(f"objective {name}: {e}") from e


def _snake_to_class(name: str) -> str:
    return "".join(part[:1].upper() + part[1:] for part in name.split("_")) if "_" in name or name.islower() else name


def build_constraints(tables: list, base: Path, where: str) -> list:
    """Constraint objects from TOML tables: ``type`` names a class of velquor.constraint (CamelCase or
    snake_case), every other key is a keyword of its constructor. ``current_holdings`` may name a file of
    weights by order_book_id, relative to the configuration file."""
    try:
        from . import constraint as con
    except ImportError:  # pragma: no cover - the constraint module ships with velquor
        raise BadInput("constraints need the velquor.constraint module, which this installation lacks") from None
    if not isinstance(tables, list):
        raise BadInput(f"{where}: 'constraints' must be an array of tables ([[constraints]])")
    out = []
    for k, table in enumerate(tables, 1):
        if not isinstance(table, dict) or "type" not in table:
            raise BadInput(f"{where}: constraint {k} needs a type, e.g. type = \"TrackingErrorLimit\"")
        kwargs = dict(table)
        name = _snake_to_class(str(kwargs.pop("type")))
        cls = getattr(con, name, None)
        base_cls = getattr(con, "OptimizationConstraint", None)
        if not isinstance(cls, type) or base_cls is None or not issubclass(cls, base_cls) or cls is base_cls:
            known = sorted(n for n, c in vars(con).items() if isinstance(c, type) and base_cls is not None
                           and issubclass(c, base_cls) and c is not base_cls)
            raise BadInput(f"{where}: constraint {k}: unknown type {name!r}; choose one of {', '.join(known)}")
        if isinstance(kwargs.get("current_holdings"), str):
            kwargs["current_holdings"] = read_series(base / kwargs["current_holdings"], "current_holdings")
        try:
            out.append(cls(**kwargs))
        except TypeError as e:
            raise BadInput(f"{where}: constraint {k} ({name}): {e}") from e
    return out


def read_toml(path: str | Path) -> dict:
    import tomllib

    p = Path(path)
    if not p.is_file():
        raise BadInput(f"no such file: {p}")
    try:
        return tomllib.loads(p.read_text())
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise BadInput(f"{p}: not valid TOML: {e}") from e


def load_constraints(path: str | None) -> list | None:
    """Constraint objects from the ``[[constraints]]`` tables of a TOML file (see docs/constraints.md)."""
    if path is None:
        return None
    data = read_toml(path)
    unknown = sorted(set(data) - {"constraints"})
    if unknown:
        raise BadInput(f"{path}: unknown key {unknown[0]!r}; a constraints file holds [[constraints]] tables")
    return build_constraints(data.get("constraints", []), Path(path).parent, str(path))


def write_weights(weights, date, path: str | None) -> None:
    import pandas as pd

    frame = pd.DataFrame({"date": date.isoformat(), "order_book_id": weights.index.astype(str),
                          "weight": weights.to_numpy(dtype=float)})
    if path is None:
        frame.to_csv(sys.stdout, index=False, float_format="%.10g", lineterminator="\n")
        return
    p = Path(path)
    suffix = p.suffix.lower()
    if suffix not in (".csv", ".parquet", ".json"):
        raise BadInput(f"output must end in .csv, .parquet or .json, got {p.name}")
    p.parent.mkdir(parents=True, exist_ok=True)
    if suffix == ".csv":
        frame.to_csv(p, index=False, float_format="%.10g")
    elif suffix == ".parquet":
        frame.to_parquet(p, index=False)
    else:
        p.write_text(json.dumps({"date": date.isoformat(),
                                 "weights": {k: float(v) for k, v in weights.items()}}, indent=1) + "\n")


def read_weights(path: str, date: str | None):
    """Weights and their date from a file written by `velquor optimize` (or any id/weight table)."""
    import pandas as pd

    p = Path(path)
    if not p.is_file():
        raise BadInput(f"no such file: {p}")
    frame = _read_table(p)
    if "date" in frame.columns:
        try:
            stamps = [parse_date(str(d)[:10]).isoformat() for d in frame["date"]]
        except BadInput as e:
            raise BadInput(f"{p}: {e}") from e
        days = sorted(set(stamps))
        if date is None:
            if len(days) != 1:
                raise BadInput(f"{p} holds weights of {len(days)} dates; pick one with --date")
            date = days[0]
        else:
            chosen = parse_date(date).isoformat()
            frame = frame[[d == chosen for d in stamps]]
            if frame.empty:
                raise BadInput(f"{p} holds no weights for {chosen}")
    elif date is None:
        raise BadInput(f"{p} has no date column; give the date with --date")
    key = _id_column(frame, p)
    col = "weight" if "weight" in frame.columns else next((c for c in frame.columns if c not in (key, "date")), None)
    if col is None:
        raise BadInput(f"{p} needs a weight column")
    try:
        weights = pd.Series(frame[col].to_numpy(dtype=float), index=frame[key].astype(str).to_numpy())
    except (TypeError, ValueError) as e:
        raise BadInput(f"{p}: weights must be numbers ({e})") from e
    return weights, date


# ------------------------------------------------------------------------------------------------- commands

def _model_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--cov-model", default="daily", choices=["daily", "monthly", "quarterly"],
                   help="risk-model horizon (default: daily)")
    p.add_argument("--risk-model", default="v1", choices=[m.value for m in RiskModel],
                   help="risk model: v1, v2, or custom for an imported one (default: v1)")


def parse_date(text: str):
    """The date of a command, read as the optimiser reads dates; a bad one is bad input."""
    from . import optimize as opt

    try:
        return opt.to_date(text)
    except (ValueError, OverflowError) as e:
        raise BadInput(f"not a date: {text!r} ({e})") from e


def cmd_optimize(args) -> int:
    from . import optimize as opt

    date = parse_date(args.date)
    if args.out and Path(args.out).suffix.lower() not in (".csv", ".parquet", ".json"):
        # before the optimisation, not after it
        raise BadInput(f"output must end in .csv, .parquet or .json, got {Path(args.out).name}")
    pool = read_pool(args.pool, date)
    objective = make_objective(args.objective, parse_params(args.param))
    options = parse_params(args.solver_option)
    weights = opt.portfolio_optimize(
        pool, date, objective, bnds=parse_bounds(args.bounds), cons=load_constraints(args.constraints),
        benchmark=args.benchmark, cov_model=args.cov_model, risk_model=args.risk_model,
        factor_risk_aversion=args.factor_risk_aversion, specific_risk_aversion=args.specific_risk_aversion,
        solver=args.solver, **options)
    write_weights(weights, date, args.out)
    if args.out:
        held = int((weights > 1e-6).sum())
        print(f"{type(objective).__name__} on {date.isoformat()}: {len(weights)} stocks, {held} above 1e-6, "
              f"largest {weights.max():.2%}; wrote {args.out}", file=sys.stderr)
    return 0


def _md_table(frame, percent: set[str] = frozenset(), digits: int = 4) -> str:
    def cell(col, v):
        if isinstance(v, float):
            if math.isnan(v):
                return ""
            return f"{v:.2%}" if col in percent else f"{v:.{digits}f}"
        return str(v)

    cols = [frame.index.name or ""] + [str(c) for c in frame.columns]
    lines = ["| " + " | ".join(cols) + " |", "|" + "---|" * len(cols)]
    for idx, row in frame.iterrows():
        lines.append("| " + " | ".join([str(idx)] + [cell(c, v) for c, v in row.items()]) + " |")
    return "\n".join(lines)


def render_report(report, figures: dict[str, str], fmt: str, top: int = 15) -> str:
    """The report as Markdown or HTML text, figures referenced by relative path."""
    import pandas as pd

    s = report.summary
    rows = [("date", report.date.isoformat()), ("model", f"{report.cov_model.value}-{report.risk_model.value} "
             f"(estimated to the close of {report.prev_trading_date.isoformat()})"),
            ("stocks held", str(s["n_stocks"])), ("sum of weights", f"{s['weight_sum']:.4f}"),
            ("total risk (annualised)", f"{s['total_risk']:.2%}"), ("factor risk", f"{s['factor_risk']:.2%}"),
            ("specific risk", f"{s['specific_risk']:.2%}")]
    if report.benchmark:
        rows += [("benchmark", f"{report.benchmark} ({s['n_benchmark']} constituents)"),
                 ("tracking error (annualised)", f"{s['tracking_error']:.2%}"),
                 ("active factor risk", f"{s['active_factor_risk']:.2%}"),
                 ("active specific risk", f"{s['active_specific_risk']:.2%}")]
    if not math.isnan(s["expected_return"]):
        rows.append(("expected return (annualised)", f"{s['expected_return']:.2%}"))
    summary = pd.DataFrame({"value": [v for _, v in rows]}, index=pd.Index([k for k, _ in rows], name="measure"))
    pct = {"weight", "benchmark_weight", "active_weight", "contribution", "percent", "active_contribution",
           "active_percent", "marginal", "active_marginal"}
    col = "active_contribution" if report.benchmark else "contribution"
    stocks = report.stocks.reindex(report.stocks[col].abs().sort_values(ascending=False).index[:top])
    stock_cols = ["weight", "benchmark_weight", "active_weight", "contribution", "percent"]
    if report.benchmark:
        stock_cols += ["active_contribution", "active_percent"]
    sections = [
        ("Summary", summary, set()),
        ("Contributions by factor group", report.groups, pct),
        (f"Largest contributions by stock (top {top})", stocks[stock_cols], pct),
        (f"Industries ({report.industry_source})", report.industry_contributions(), pct),
        ("Style exposures", report.styles, set()),
    ]
    title = f"Risk report, {report.date.isoformat()}" + (f", against {report.benchmark}" if report.benchmark else "")
    if fmt == "html":
        parts = [f"<!DOCTYPE html><html><head><meta charset='utf-8'><title>{title}</title>",
                 "<style>body{font-family:sans-serif;max-width:1100px;margin:auto}"
                 "table{border-collapse:collapse}td,th{padding:2px 8px;border-bottom:1px solid #ddd;"
                 "text-align:right}</style></head><body>", f"<h1>{title}</h1>"]
        for name, frame, percent in sections:
            fmt_cols = {c: (lambda v: "" if isinstance(v, float) and math.isnan(v) else f"{v:.2%}")
                        for c in frame.columns if c in percent}
            parts.append(f"<h2>{name}</h2>" + frame.to_html(formatters=fmt_cols, float_format=lambda v: f"{v:.4f}",
                                                            na_rep=""))
        for name, rel in figures.items():
            parts.append(f"<h2>{name}</h2><img src='{rel}' alt='{name}' style='max-width:100%'>")
        parts.append("</body></html>")
        return "\n".join(parts) + "\n"
    parts = [f"# {title}", ""]
    for name, frame, percent in sections:
        parts += [f"## {name}", "", _md_table(frame, percent), ""]
    for name, rel in figures.items():
        parts += [f"## {name}", "", f"![{name}]({rel})", ""]
    return "\n".join(parts)


def cmd_report(args) -> int:
    from .analytics import risk_report

    weights, date = read_weights(args.weights, args.date)
    expected = None
    if args.expected_returns:
        expected = ("historical" if args.expected_returns == "historical"
                    else read_series(args.expected_returns, "--expected-returns"))
    report = risk_report(weights, date, args.benchmark, args.cov_model, args.risk_model,
                         expected_returns=expected, industry_source=args.industry_source)
    if args.out is None:
        print(render_report(report, {}, "md"))
        return 0
    out = Path(args.out)
    fmt = {".md": "md", ".markdown": "md", ".html": "html", ".htm": "html"}.get(out.suffix.lower())
    if fmt is None:
        raise BadInput(f"report must end in .md or .html, got {out.name}")
    fig_dir = Path(args.figures) if args.figures else out.parent / (out.stem + "_files")
    fig_dir.mkdir(parents=True, exist_ok=True)
    out.parent.mkdir(parents=True, exist_ok=True)
    figures = {}
    for name, kind, kw in (("Overview", "overview", {}), ("Weights by industry", "industry", {}),
                           ("Contributions to risk by stock", "contributions", {"by": "stock"}),
                           ("Style exposures", "style", {})):
        path = fig_dir / f"{kind}.png"
        report.plot(kind, path=path, **kw)
        figures[name] = os.path.relpath(path, out.parent)
    out.write_text(render_report(report, figures, fmt))
    print(f"wrote {out} and {len(figures)} figures in {fig_dir}", file=sys.stderr)
    return 0


def cmd_frontier(args) -> int:
    from .analytics import efficient_frontier, plot_frontier

    date = parse_date(args.date)
    pool = read_pool(args.pool, date)
    expected = read_series(args.expected_returns, "--expected-returns") if args.expected_returns else None
    frontier = efficient_frontier(pool, date, args.points, expected_returns=expected,
                                  bnds=parse_bounds(args.bounds), cons=load_constraints(args.constraints),
                                  cov_model=args.cov_model, risk_model=args.risk_model)
    if args.figure:
        Path(args.figure).parent.mkdir(parents=True, exist_ok=True)
        plot_frontier(frontier, path=args.figure)
    if args.out:
        Path(args.out).parent.mkdir(parents=True, exist_ok=True)
        if args.out.lower().endswith(".parquet"):
            frontier.to_parquet(args.out)
        elif args.out.lower().endswith(".csv"):
            frontier.to_csv(args.out, float_format="%.10g")
        else:
            raise BadInput(f"output must end in .csv or .parquet, got {args.out}")
    table = frontier[["return", "risk", "sharpe"]]
    print(table.to_string(float_format=lambda v: f"{v:.4f}"))
    return 0


BACKTEST_KEYS = {"universe", "start", "end", "rebalance", "benchmark", "cost", "turnover_limit", "cov_model",
                 "risk_model", "objective", "bounds", "constraints", "solver", "solver_options", "run", "output"}


def backtest_from_config(path: str | Path):
    """A Backtest and its run/output settings from a TOML configuration (see docs/backtest.md)."""
    try:
        from .backtest import Backtest
    except ImportError:  # pragma: no cover - depends on the installation
        raise BadInput("this installation has no velquor.backtest module") from None
    p = Path(path)
    cfg = read_toml(p)
    unknown = sorted(set(cfg) - BACKTEST_KEYS)
    if unknown:
        raise BadInput(f"{p}: unknown key {unknown[0]!r}; known: {', '.join(sorted(BACKTEST_KEYS))}")
    for key in ("universe", "start", "end"):
        if key not in cfg:
            raise BadInput(f"{p}: {key} is required")
    universe = cfg["universe"]
    if isinstance(universe, str) and (p.parent / universe).is_file():
        frame = _read_table(p.parent / universe)
        universe = list(frame[_id_column(frame, p.parent / universe)].astype(str))
    objective = None
    if "objective" in cfg:
        entry = cfg["objective"]
        if isinstance(entry, str):
            entry = {"name": entry}
        if not isinstance(entry, dict) or "name" not in entry:
            raise BadInput(f'{p}: objective must be a name or a table with a name, e.g. name = "min_variance"')
        params = {k: (read_series(p.parent / v, k) if isinstance(v, str) and (p.parent / v).is_file() else v)
                  for k, v in entry.items() if k != "name"}
        objective = make_objective(str(entry["name"]), params)
    bounds = cfg.get("bounds")
    if bounds is not None:
        if not isinstance(bounds, dict):
            raise BadInput(f'{p}: bounds must be a table, e.g. "*" = [0, 0.05]')
        entries = []
        for key, pair in bounds.items():
            if not isinstance(pair, list) or len(pair) != 2:
                raise BadInput(f"{p}: bounds of {key!r} must be [lower, upper]")
            entries.append(f"{key}={'' if pair[0] in ('', None) else pair[0]}:{'' if pair[1] in ('', None) else pair[1]}")
        bounds = parse_bounds(entries)
    cons = build_constraints(cfg["constraints"], p.parent, str(p)) if "constraints" in cfg else None
    options = dict(cfg.get("solver_options", {}))
    if "solver" in cfg:
        options["solver"] = cfg["solver"]
    kwargs = {k: cfg[k] for k in ("rebalance", "benchmark", "cost", "turnover_limit", "cov_model", "risk_model")
              if k in cfg}
    bt = Backtest(universe, cfg["start"], cfg["end"], objective=objective, bnds=bounds, cons=cons, **kwargs,
                  **options)
    run = cfg.get("run", {})
    output = cfg.get("output", {})
    if not isinstance(run, dict) or not isinstance(output, dict):
        raise BadInput(f"{p}: run and output must be tables")
    for k in output:
        if isinstance(output[k], str):
            output[k] = str(p.parent / output[k])
    return bt, run, output


def cmd_backtest(args) -> int:
    bt, run, output = backtest_from_config(args.config)
    engine = args.engine or run.get("engine", "serial")
    workers = args.workers or run.get("workers")
    checkpoint = args.checkpoint or run.get("checkpoint")
    result = bt.run(engine=engine, workers=workers, progress=not args.quiet, checkpoint=checkpoint)
    out = args.out or output.get("result")
    figure = args.figure or output.get("figure")
    if out:
        Path(out).parent.mkdir(parents=True, exist_ok=True)
        result.to_parquet(out)
    if figure:
        from .analytics import plot_backtest

        Path(figure).parent.mkdir(parents=True, exist_ok=True)
        plot_backtest(result, path=figure)
    summary = result.summary()
    for key, value in summary.items():
        text = f"{value:.4f}" if isinstance(value, float) else str(value)
        print(f"{key:24s} {text}")
    failed = int(summary.get("failed", 0))
    if failed:
        print(f"{PROG}: warning: {failed} rebalance(s) failed; see the result's status and notes", file=sys.stderr)
    if out or figure:
        print(f"wrote {', '.join(str(x) for x in (out, figure) if x)}", file=sys.stderr)
    return 0


def _has_backtest() -> bool:
    import importlib.util

    return importlib.util.find_spec("velquor.backtest") is not None


def build_parser() -> argparse.ArgumentParser:
    # --debug goes before or after the command; the subcommands' copy must not reset the main one's value
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help="print tracebacks and the solver's log lines")
    parser = _Parser(prog=PROG, description="Long-only equity portfolio optimisation on the local market data "
                     "(ZORVATA_DB, or the synthetic demo market).", epilog=EXAMPLES,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--debug", action="store_true", help="print tracebacks and the solver's log lines")
    parser.add_argument("--version", action="version", version=f"{PROG} " + _version())
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    p = sub.add_parser("optimize", parents=[common], help="compute the weights of a pool on a date",
                       formatter_class=argparse.RawDescriptionHelpFormatter,
                       description="Optimise a pool and write its weights (CSV to stdout without --out).",
                       epilog="examples:\n" + "\n".join(ln for ln in EXAMPLES.splitlines() if " optimize " in ln))
    p.add_argument("pool", nargs="+", help="an index id (its constituents on the date), a file of ids "
                   "(one per line, or a CSV/Parquet/JSON with an order_book_id column) or ids separated by commas")
    p.add_argument("--date", required=True, help="the optimisation date (YYYY-MM-DD)")
    p.add_argument("--objective", default="min_variance", help=f"one of {', '.join(OBJECTIVES)} "
                   "(default: min_variance)")
    p.add_argument("--param", action="append", default=[], metavar="KEY=VALUE",
                   help="an objective parameter (JSON value or a file of values by id), repeatable; e.g. "
                   "risk_aversion_coefficient=2, expected_returns=mu.csv, window=126")
    p.add_argument("--bounds", action="append", default=[], metavar="ID=LO:HI",
                   help="weight bounds, repeatable: '*=0:0.05' for every stock, '600000.XSHG=0.01:' for one "
                   "(an empty side is unbounded; allowed for named stocks only)")
    p.add_argument("--constraints", metavar="FILE.toml", help="constraints from a TOML file")
    p.add_argument("--benchmark", help="benchmark index id, e.g. 000300.XSHG")
    _model_args(p)
    p.add_argument("--factor-risk-aversion", type=float, default=1.0)
    p.add_argument("--specific-risk-aversion", type=float, default=1.0)
    p.add_argument("--solver", help="cvxpy solver name (default: the objective's, SCS)")
    p.add_argument("--solver-option", action="append", default=[], metavar="KEY=VALUE",
                   help="a solver keyword, repeatable; e.g. eps_abs=1e-6 max_iters=20000")
    p.add_argument("--out", "-o", help="output file: .csv, .parquet or .json (columns date, order_book_id, weight)")
    p.set_defaults(func=cmd_optimize)

    p = sub.add_parser("report", parents=[common], help="risk report of a weights file, with figures",
                       description="Ex-ante risk report of a portfolio: Markdown or HTML with figures "
                       "(the summary as Markdown on stdout without --out).")
    p.add_argument("weights", help="weights file from `velquor optimize` (or an order_book_id/weight table)")
    p.add_argument("--date", help="the report's date (default: the file's date column)")
    p.add_argument("--benchmark", help="benchmark index id for the tracking error and active figures")
    _model_args(p)
    p.add_argument("--industry-source", default="sw", choices=["sw", "citics", "sw_split_financials"])
    p.add_argument("--expected-returns", metavar="FILE|historical",
                   help="annualised expected returns by id, or 'historical' (mean daily return of 252 days x 252)")
    p.add_argument("--out", "-o", help="report file: .md or .html")
    p.add_argument("--figures", help="directory of the figures (default: <out stem>_files beside the report)")
    p.set_defaults(func=cmd_report)

    p = sub.add_parser("frontier", parents=[common], help="the mean-variance frontier of a pool",
                       description="Trace the efficient frontier of a pool; prints return, risk and Sharpe ratio.")
    p.add_argument("pool", nargs="+", help="as for optimize")
    p.add_argument("--date", required=True)
    p.add_argument("--points", type=int, default=20)
    p.add_argument("--expected-returns", metavar="FILE", help="annualised expected returns by id "
                   "(default: historical mean daily return x 252)")
    p.add_argument("--bounds", action="append", default=[], metavar="ID=LO:HI")
    p.add_argument("--constraints", metavar="FILE.toml")
    _model_args(p)
    p.add_argument("--out", "-o", help="frontier table: .csv or .parquet (return, risk, sharpe, weights)")
    p.add_argument("--figure", help="plot of the frontier (.png, .svg, .pdf)")
    p.set_defaults(func=cmd_frontier)

    if _has_backtest():
        p = sub.add_parser("backtest", parents=[common], help="run a backtest described by a TOML file",
                           description="Rebalance a portfolio over dates as a TOML configuration says; prints "
                           "the summary, writes the result (Parquet) and a NAV/drawdown/turnover figure.",
                           epilog="example:\n  velquor backtest bt.toml --out bt.parquet --figure bt.png",
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        p.add_argument("config", help="the TOML configuration (see docs/backtest.md)")
        p.add_argument("--out", "-o", help="result directory/file for BacktestResult.to_parquet")
        p.add_argument("--figure", help="NAV against benchmark, drawdown and turnover (.png, .svg, .pdf)")
        p.add_argument("--engine", choices=["serial", "process", "dask"])
        p.add_argument("--workers", type=int)
        p.add_argument("--checkpoint", help="checkpoint directory (resumes an interrupted run)")
        p.add_argument("--quiet", action="store_true", help="no progress bars")
        p.set_defaults(func=cmd_backtest)
    return parser


def _version() -> str:
    from . import __version__

    return __version__


def _one_line(text: str) -> str:
    return " ".join(str(text).split())


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"{PROG}: warning: {_one_line(message)}", file=sys.stderr)


def main(argv: list[str] | None = None) -> int:
    """Runs the command line; returns the exit status (130 after Ctrl-C, wherever it lands)."""
    try:
        return _main(argv)
    except KeyboardInterrupt:  # before the command runs (parsing, imports) or while its error is reported
        print(f"{PROG}: error: interrupted", file=sys.stderr)
        return 130


def _main(argv: list[str] | None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        parser = build_parser()
        args = parser.parse_args(argv)
    except BadInput as e:
        print(f"{PROG}: error: {_one_line(e)}", file=sys.stderr)
        return 2
    if args.debug:
        import logging

        logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
    try:
        import zorvata

        data_errors: tuple = (zorvata.DataError,)
    except ImportError:  # pragma: no cover - zorvata ships with velquor
        data_errors = ()
    with warnings.catch_warnings():
        warnings.simplefilter("default")
        warnings.showwarning = _show_warning
        try:
            return int(args.func(args) or 0)
        except BrokenPipeError:
            return 0
        except BaseException as e:  # noqa: BLE001 - the command's last line of defence: one line
            status, message = _classify(e, data_errors)
            if status is None:
                raise
            if args.debug:
                traceback.print_exception(e)
            from .exception import OptimizationFailed

            unexpected = status == 1 and not isinstance(e, OptimizationFailed)
            hint = " (--debug shows the traceback)" if unexpected and not args.debug else ""
            print(f"{PROG}: error: {_one_line(message)}{hint}", file=sys.stderr)
            return status


def _classify(e: BaseException, data_errors: tuple) -> tuple[int | None, str]:
    """Exit status and message of an exception (None: not ours to handle, e.g. SystemExit)."""
    from ._interrupt import is_interrupt
    from .exception import InvalidArgument, OptimizationFailed

    if is_interrupt(e):  # also one that a library below reported as its own error
        return 130, "interrupted"
    if isinstance(e, OptimizationFailed):
        return 1, f"optimisation failed: {e}"
    if isinstance(e, (BadInput, InvalidArgument, FileNotFoundError, *data_errors)):
        return 2, str(e)
    if isinstance(e, Exception):
        return 1, f"{type(e).__name__}: {e}"
    return None, ""


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
