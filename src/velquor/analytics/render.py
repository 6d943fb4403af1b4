"""A risk report as text: Markdown or an HTML page, figures referenced by relative path or data URI."""

from __future__ import annotations

import math

__all__ = ["render_report"]


def _md_table(frame, percent: set[str] | frozenset[str] = frozenset(), digits: int = 4) -> str:
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
    """The report as Markdown or HTML text; ``figures`` maps titles to image sources (relative paths, or data
    URIs for a page that carries its images)."""
    import pandas as pd

    s = report.summary
    rows = [("date", report.date.isoformat()), ("model", f"{report.cov_model.value}-{report.risk_model.value} "
             f"(estimated to the close of {report.prev_trading_date.isoformat()})"),
            ("stocks held", str(s["n_stocks"])), ("sum of weights", f"{s['weight_sum']:.4f}"),
            ("total risk (annualised)", f"{s['total_risk']:.2%}"), ("factor risk", f"{s['factor_risk']:.2%}"),
            ("specific risk", f"{s['specific_risk']:.2%}")]
    if s.get("without_model_data"):
        rows.append(("held as cash (no risk-model data)",
                     f"{s['cash_without_model_data']:.2%}: {s['without_model_data']}"))
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
