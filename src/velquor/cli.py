"""The `velquor` command: optimise a pool, report on a portfolio's risk, trace a frontier, run a backtest.

This module wires arguments to the library: files are read and written by :mod:`velquor.fileformats`, pools,
objectives, bounds, constraints and backtests built by :mod:`velquor.config`, reports rendered by
:mod:`velquor.analytics.render`.

Exit status: 0 success, 1 the optimisation (or another step) failed, 2 bad input (arguments, files, ids,
dates). Errors are printed as one line; ``--debug`` prints the traceback as well.
"""

from __future__ import annotations

import argparse
import os
import sys
import traceback
import warnings
from pathlib import Path

from .config import (OBJECTIVES, backtest_from_config, check_solver, check_solver_options, load_constraints,
                     make_objective, parse_bounds, parse_params, read_pool)
from .const import HELD_WEIGHT, RiskModel
from .fileformats import (WEIGHT_SUFFIXES, BadInput, parse_date, read_holdings, read_series, read_weights,
                          write_frontier, write_orders, write_weights)

__all__ = ["main"]

PROG = "velquor"

EXAMPLES = """\
examples:
  velquor optimize 000300.XSHG --date 2026-11-30 --bounds '*=0:0.05' --out weights.csv
  velquor optimize 000300.XSHG --date 2026-11-30 --objective min_tracking_error --benchmark 000300.XSHG
  velquor optimize pool.txt --date 2026-11-30 --objective mean_variance --param risk_aversion_coefficient=2
  velquor report weights.csv --benchmark 000300.XSHG --out report/report.md
  velquor frontier 000300.XSHG --date 2026-11-30 --points 20 --bounds '*=0:0.1' --figure frontier.png
  velquor orders weights.csv --holdings holdings.csv --cash 1e7 --out orders.csv
"""


class _Parser(argparse.ArgumentParser):
    """argparse with one-line errors and exit status 2."""

    def error(self, message):
        command = self.prog[len(PROG):].strip()
        raise BadInput(f"{command + ': ' if command else ''}{message} (see --help)")


# ------------------------------------------------------------------------------------------------- commands

def _model_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--cov-model", default="daily", choices=["daily", "monthly", "quarterly"],
                   help="risk-model horizon (default: daily)")
    p.add_argument("--risk-model", default="v1", choices=[m.value for m in RiskModel],
                   help="risk model: v1, v2, or custom for an imported one (default: v1)")


def cmd_optimize(args) -> int:
    from . import optimize as opt

    date = parse_date(args.date)
    if args.out and Path(args.out).suffix.lower() not in WEIGHT_SUFFIXES:
        # before the optimisation, not after it
        raise BadInput(f"output must end in .csv, .parquet or .json, got {Path(args.out).name}")
    pool = read_pool(args.pool, date)
    objective = make_objective(args.objective, parse_params(args.param))
    solver = check_solver(args.solver)
    options = check_solver_options(parse_params(args.solver_option), solver or "SCS")
    if not 0 <= args.min_weight < 1:
        raise BadInput(f"--min-weight: {args.min_weight!r} is not a weight in [0, 1)")
    weights = opt.portfolio_optimize(
        pool, date, objective, bnds=parse_bounds(args.bounds), cons=load_constraints(args.constraints),
        benchmark=args.benchmark, cov_model=args.cov_model, risk_model=args.risk_model,
        factor_risk_aversion=args.factor_risk_aversion, specific_risk_aversion=args.specific_risk_aversion,
        solver=solver, **options)
    weights = held_weights(weights, args.min_weight)
    write_weights(weights, date, args.out)
    if args.out:
        held = int((weights > 0).sum())
        print(f"{type(objective).__name__} on {date.isoformat()}: {len(weights)} stocks, {held} held, "
              f"largest {weights.max():.2%}; wrote {args.out}", file=sys.stderr)
    return 0


def held_weights(weights, min_weight: float = 0.0):
    """The weights written: positions at or below the held threshold (HELD_WEIGHT, or ``min_weight`` when
    larger) become exact zeros and the rest are scaled back to the original sum."""
    threshold = max(HELD_WEIGHT, min_weight)
    kept = weights.where(weights > threshold, 0.0)
    if kept.sum() <= 0:
        raise BadInput(f"--min-weight: {min_weight!r} drops every position (the largest is {weights.max():.6g})")
    return kept * (weights.sum() / kept.sum())


def cmd_report(args) -> int:
    from .analytics import render_report, risk_report

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
    # Markdown links its figures (files beside it); an HTML report is one file, its figures embedded (and
    # written as files too when --figures names a directory)
    fig_dir = Path(args.figures) if args.figures else \
        None if fmt == "html" else out.parent / (out.stem + "_files")
    if fig_dir is not None:
        fig_dir.mkdir(parents=True, exist_ok=True)
    out.parent.mkdir(parents=True, exist_ok=True)
    figures = {}
    for name, kind, kw in (("Overview", "overview", {}), ("Weights by industry", "industry", {}),
                           ("Contributions to risk by stock", "contributions", {"by": "stock"}),
                           ("Style exposures", "style", {})):
        fig = report.plot(kind, **kw)
        if fig_dir is not None:
            fig.savefig(fig_dir / f"{kind}.png", dpi=110)
        figures[name] = _embedded(fig) if fmt == "html" else os.path.relpath(fig_dir / f"{kind}.png", out.parent)
    out.write_text(render_report(report, figures, fmt))
    where = f" and {len(figures)} figures in {fig_dir}" if fig_dir is not None else f" ({len(figures)} figures inside)"
    print(f"wrote {out}{where}", file=sys.stderr)
    return 0


def _embedded(fig) -> str:
    """A figure as a data URI of its PNG, for an HTML page that carries its images."""
    import base64
    import io

    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=110)
    return "data:image/png;base64," + base64.b64encode(buf.getvalue()).decode("ascii")


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
        write_frontier(frontier, args.out)
    table = frontier[["return", "risk", "sharpe"]]
    print(table.to_string(float_format=lambda v: f"{v:.4f}"))
    return 0


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


def cmd_orders(args) -> int:
    from .trading import CostModel, to_orders

    if args.out and Path(args.out).suffix.lower() not in WEIGHT_SUFFIXES:
        raise BadInput(f"output must end in .csv, .parquet or .json, got {Path(args.out).name}")
    # the orders' day is --date, else the weights' own; --date picks the weights only in a file of several dates
    try:
        weights, day = read_weights(args.weights, None)
    except BadInput:
        if args.date is None:
            raise
        weights, day = read_weights(args.weights, args.date)
    date = parse_date(args.date or str(day))
    held = read_holdings(args.holdings) if args.holdings else None
    if held is None and args.capital is None:
        raise BadInput("orders: give --holdings, --capital or both")
    prices = read_series(args.prices, "--prices") if args.prices else None
    result = to_orders(weights, date, args.capital, held, cash=args.cash, price=prices,
                       min_trade_value=args.min_trade_value, cash_buffer=args.cash_buffer,
                       cost_model=None if args.no_costs else CostModel(), risk_model=args.risk_model)
    write_orders(result.orders, date, args.out)
    o = result.orders
    buys, sells = o.loc[o["side"] == "buy", "value"].sum(), o.loc[o["side"] == "sell", "value"].sum()
    print(f"{len(o)} orders on {date.isoformat()}: buy {buys:,.2f}, sell {sells:,.2f}, estimated cost "
          f"{result.cost:,.2f}, cash left {result.cash:,.2f}; tracking error of the rounding "
          f"{result.tracking_error:.4%}" + (f"; wrote {args.out}" if args.out else ""), file=sys.stderr)
    if result.not_traded:
        print(f"no order for {len(result.not_traded)} stocks (suspended, or below --min-trade-value): "
              + ", ".join(result.not_traded[:10]) + (" ..." if len(result.not_traded) > 10 else ""),
              file=sys.stderr)
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
    p.add_argument("--min-weight", type=float, default=0.0, metavar="W",
                   help=f"drop positions of weight W or less and scale the rest back to the sum (positions of "
                   f"{HELD_WEIGHT:g} or less are always written as 0)")
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

    p = sub.add_parser("orders", parents=[common], help="share orders in board lots from target weights",
                       description="Turn a weights file into share orders against the shares held, in board "
                       "lots at the previous close (CSV to stdout without --out; a summary on stderr).",
                       epilog="example:\n  velquor orders weights.csv --holdings holdings.csv --cash 1e7 "
                       "--out orders.csv", formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("weights", help="target weights file (from `velquor optimize`, or an order_book_id/weight table)")
    p.add_argument("--holdings", help="shares held: a table with order_book_id and shares columns")
    p.add_argument("--date", help="the day of the orders (default: the weights file's date; in a file of several "
                   "dates, also the one whose weights are read)")
    p.add_argument("--capital", type=float, help="the portfolio's value (default: the holdings at the "
                   "previous close plus --cash)")
    p.add_argument("--cash", type=float, default=0.0, help="cash held beside the holdings (default: 0)")
    p.add_argument("--prices", metavar="FILE", help="prices by id (default: the previous close)")
    p.add_argument("--min-trade-value", type=float, default=0.0, help="no order below this value, except "
                   "the sale of a whole position the target drops (default: 0)")
    p.add_argument("--cash-buffer", type=float, default=0.0, help="share of the capital kept in cash "
                   "(default: 0)")
    p.add_argument("--no-costs", action="store_true", help="no cost estimate (default: velquor.trading."
                   "CostModel's defaults, paid from the cash)")
    p.add_argument("--risk-model", default="v1", choices=[m.value for m in RiskModel],
                   help="the risk model of the rounding's tracking error (default: v1)")
    p.add_argument("--out", "-o", help="orders file: .csv, .parquet or .json (date, order_book_id, side, "
                   "shares, price, value)")
    p.set_defaults(func=cmd_orders)

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
        # a developer's diagnostic: an import that Ctrl-C stopped half way leaves its file to the collector
        warnings.simplefilter("ignore", ResourceWarning)
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
