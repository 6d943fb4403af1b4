"""What the command line builds from its arguments and configuration files: the pool, the objective, weight
bounds, solver parameters, constraints from TOML tables and a backtest from a TOML configuration
(docs/constraints.md, docs/backtest.md). Bad input raises :class:`velquor.fileformats.BadInput`.
"""

from __future__ import annotations

import json
import math
import warnings
from pathlib import Path

from .fileformats import BadInput, id_column, read_series, read_table, read_toml

__all__ = ["OBJECTIVES", "read_pool", "parse_bounds", "parse_value", "parse_params", "make_objective",
           "build_constraints", "load_constraints", "BACKTEST_KEYS", "backtest_from_config", "check_solver",
           "check_solver_options"]

#: SCS's settings and their types (the solver takes them as keywords and has no table of its own to read).
SCS_OPTIONS = {
    "max_iters": int, "eps_abs": float, "eps_rel": float, "eps_infeas": float, "alpha": float, "rho_x": float,
    "scale": float, "adaptive_scale": bool, "normalize": bool, "acceleration_lookback": int,
    "acceleration_interval": int, "time_limit_secs": float, "warm_start": bool, "verbose": bool,
    "use_indirect": bool, "gpu": bool, "mkl": bool, "write_data_filename": str, "log_csv_filename": str,
}
#: Keywords of the modelling layer's solve that any solver takes.
SOLVE_OPTIONS = {"verbose": bool, "warm_start": bool, "ignore_dpp": bool, "canon_backend": str,
                 "enforce_dpp": bool}

#: objective names on the command line (snake case of the class names, which are accepted too)
OBJECTIVES = {
    "min_variance": "MinVariance", "min_active_variance": "MinActiveVariance",
    "min_tracking_error": "MinTrackingError", "mean_variance": "MeanVariance",
    "active_mean_variance": "ActiveMeanVariance", "risk_parity": "RiskParity",
    "max_sharpe_ratio": "MaxSharpeRatio", "max_information_ratio": "MaxInformationRatio",
    "max_indicator": "MaxIndicator", "min_style_deviation": "MinStyleDeviation",
}


def read_pool(items: list[str], date) -> list[str]:
    """Pool from command-line items: files of ids, comma-separated ids, or an index id (its constituents
    on `date`)."""
    import zorvata

    pool: list[str] = []
    for item in items:
        p = Path(item)
        if p.is_file():
            frame = read_table(p)
            pool.extend(frame[id_column(frame, p)].astype(str))
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
            if record is None:
                indexes = list(zorvata.all_instruments("INDX")["order_book_id"])
                near = _closest(parts[0], indexes)
                if near:  # a misspelt index rather than one unknown stock
                    raise BadInput(f"pool: unknown index or id {parts[0]!r}{near}")
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


def check_solver(name: str | None) -> str | None:
    """The solver name as cvxpy knows it; an unknown or uninstalled one is bad input naming those
    installed."""
    if name is None:
        return None
    import cvxpy as cp

    installed = cp.installed_solvers()
    if name.upper() not in installed:
        raise BadInput(f"--solver: unknown or uninstalled solver {name!r}; installed: {', '.join(installed)}")
    return name.upper()


def _solver_settings(solver: str) -> dict[str, type] | None:
    """Settings and types ``solver`` takes, when they can be known (SCS, Clarabel); None otherwise."""
    if solver == "SCS":
        return SCS_OPTIONS
    if solver == "CLARABEL":
        import clarabel

        defaults = clarabel.DefaultSettings()
        return {k: type(getattr(defaults, k)) for k in dir(defaults)
                if not k.startswith("_") and not callable(getattr(defaults, k))}
    return None


def check_solver_options(options: dict, solver: str) -> dict:
    """Solver options checked against what ``solver`` takes, by name and type (an int passes for a float)."""
    known = _solver_settings(solver)
    if known is None:
        return options
    known = {**SOLVE_OPTIONS, **known}
    for key, value in options.items():
        want = known.get(key)
        if want is None:
            raise BadInput(f"--solver-option: {solver} has no option {key!r}; it takes "
                           f"{', '.join(sorted(known))}")
        ok = isinstance(value, want) and not (want is int and isinstance(value, bool)) or \
            (want is float and isinstance(value, int) and not isinstance(value, bool))
        if not ok:
            raise BadInput(f"--solver-option: {key}={value!r} is not {'an' if want is int else 'a'} "
                           f"{want.__name__}, which {solver}'s {key} takes")
    return options


def _closest(name: str, known) -> str:
    import difflib

    scored = sorted(((difflib.SequenceMatcher(None, name, k).ratio(), k) for k in known), reverse=True)
    near = [k for r, k in scored[:3] if r >= 0.6 and r >= scored[0][0] - 0.05]
    return f"; did you mean {', '.join(near)}?" if near else ""


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
        _check_keywords(cls, kwargs, f"{where}: constraint {k} ({name})")
        if isinstance(kwargs.get("current_holdings"), str):
            kwargs["current_holdings"] = read_series(base / kwargs["current_holdings"], "current_holdings")
        try:
            out.append(cls(**kwargs))
        except TypeError as e:
            raise BadInput(f"{where}: constraint {k} ({name}): {e}") from e
    return out


def _check_keywords(cls, kwargs: dict, where: str) -> None:
    """Keys of a table that the class's constructor does not take are bad input naming those it takes."""
    import inspect

    try:
        params = [p for p in inspect.signature(cls).parameters.values()
                  if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]
    except (TypeError, ValueError):  # no signature to check against: the constructor will say
        return
    names = [p.name for p in params]
    for key in kwargs:
        if key not in names:
            raise BadInput(f"{where}: unknown key {key!r}{_closest(key, names)} ({cls.__name__} takes "
                           f"{', '.join(names)})")
    missing = [p.name for p in params if p.default is p.empty and p.name not in kwargs]
    if missing:
        raise BadInput(f"{where}: missing key {missing[0]!r} ({cls.__name__} takes {', '.join(names)})")


def load_constraints(path: str | None) -> list | None:
    """Constraint objects from the ``[[constraints]]`` tables of a TOML file (see docs/constraints.md)."""
    if path is None:
        return None
    data = read_toml(path)
    unknown = sorted(set(data) - {"constraints"})
    if unknown:
        raise BadInput(f"{path}: unknown key {unknown[0]!r}; a constraints file holds [[constraints]] tables")
    return build_constraints(data.get("constraints", []), Path(path).parent, str(path))


BACKTEST_KEYS = {"universe", "start", "end", "rebalance", "benchmark", "cost", "turnover_limit", "cov_model",
                 "risk_model", "capital", "exchange_rules", "objective", "bounds", "constraints", "solver", "solver_options", "run", "output"}


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
        frame = read_table(p.parent / universe)
        universe = list(frame[id_column(frame, p.parent / universe)].astype(str))
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
    kwargs = {k: cfg[k] for k in ("rebalance", "benchmark", "cost", "turnover_limit", "cov_model", "risk_model",
                                  "capital", "exchange_rules") if k in cfg}
    if isinstance(kwargs.get("cost"), dict):
        # [cost] as a table: the parameters of a CostModel
        from .trading import CostModel

        try:
            kwargs["cost"] = CostModel(**kwargs["cost"])
        except TypeError as e:
            raise BadInput(f"{p}: cost: {e}") from e
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
