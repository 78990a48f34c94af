"""Pictures of scored streams (needs matplotlib: `pip install "tarn[plot]"`).

One picture is two panels on a shared x axis: the input's numeric columns
above, the anomaly score below. Rows at the start without a score (the
warm-up) are shaded; alerts and known anomalies are marked on both panels.
Drawing uses matplotlib's file-only Agg backend, so no display is needed.
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any

from ._times import EPOCH, looks_like_date, parse_epoch, parse_iso

INSTALL_HINT = 'pip install "tarn[plot]"'
_MAX_SERIES = 8
_MAX_POINTS = 20_000  # longer lines are drawn as per-bucket minimum and maximum


class PlotUnavailable(Exception):
    """matplotlib is not installed."""


def require_matplotlib() -> Any:
    """matplotlib.pyplot on the Agg backend; PlotUnavailable naming the extra to install."""
    try:
        matplotlib = importlib.import_module("matplotlib")
    except ImportError:
        raise PlotUnavailable(f"pictures need matplotlib, which is not installed: {INSTALL_HINT}") from None
    matplotlib.use("Agg")
    return importlib.import_module("matplotlib.pyplot")


@dataclass
class Picture:
    """What one picture shows; every list has one entry per row."""

    title: str
    series: dict[str, list[float]]  # the input's numeric columns (NaN where a cell is not a number)
    scores: list[float]  # NaN where a row has no score
    score_label: str = "score"
    times: list[Any] | None = None  # datetimes or numbers for the x axis; None: the row index
    x_label: str = "row"
    alerts: Sequence[int] = ()  # rows that raised an alert
    anomalies: Sequence[int] = ()  # rows known to be anomalous (generated streams)
    series_label: str = "value"
    log_series: bool = False


def parse_times(cells: Sequence[str], fmt: str | None) -> list[Any] | None:
    """The x values of a --timestamp column: datetimes, or numbers for integer ticks; None if neither."""
    try:
        if fmt == "epoch":
            return [_as_datetime(parse_epoch(c)) for c in cells]
        if fmt == "iso" or (cells and looks_like_date(cells[0])):
            return [_as_datetime(parse_iso(c)) for c in cells]
        return [float(c) for c in cells]
    except (ValueError, OverflowError):
        return None


def _as_datetime(micros: int) -> datetime:
    from datetime import timedelta

    return (EPOCH + timedelta(microseconds=micros)).astimezone(timezone.utc).replace(tzinfo=None)


def number_or_nan(cell: str) -> float:
    """A cell as a finite float, or NaN when it is not one."""
    try:
        value = float(cell)
    except ValueError:
        return math.nan
    return value if math.isfinite(value) else math.nan


def picture_of_scored(
    header: Sequence[str],
    body: Sequence[Sequence[str]],
    score: int,
    drawn: Sequence[int] | None,
    timestamp: int | None,
    alert: int | None,
    fmt: str | None,
    title: str,
) -> Picture:
    """The picture of a CSV file written by `score`: which columns to draw is guessed when not given."""
    if not body:
        raise ValueError("no rows to draw")
    if timestamp is None:
        first = body[0]
        timestamp = next((i for i in range(len(header)) if i != score and looks_like_date(first[i])), None)
    times = parse_times([r[timestamp] for r in body], fmt) if timestamp is not None else None
    if timestamp is not None and times is None:
        raise ValueError(f"column {header[timestamp]!r} holds neither dates/times nor numbers throughout")
    skip = {score, timestamp, alert} | {i for i, h in enumerate(header) if h == "grade"}
    if drawn is None:
        drawn = [
            i
            for i in range(len(header))
            if i not in skip and any(r[i].strip() for r in body) and all(_is_number_or_empty(r[i]) for r in body)
        ]
    alerts = [k for k, r in enumerate(body) if alert is not None and r[alert].strip().lower() in ("1", "true")]
    return Picture(
        title=title,
        series={header[i]: [number_or_nan(r[i]) for r in body] for i in drawn},
        scores=[number_or_nan(r[score]) for r in body],
        score_label=header[score],
        times=times,
        x_label=header[timestamp] if times is not None and timestamp is not None else "row",
        alerts=alerts,
    )


def _is_number_or_empty(cell: str) -> bool:
    if not cell.strip():
        return True
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _envelope(x: Sequence[Any], y: Sequence[float]) -> tuple[list[Any], list[float]]:
    """A long line reduced to the minimum and maximum of each bucket, so spikes stay visible."""
    n = len(y)
    if n <= _MAX_POINTS:
        return list(x), list(y)
    size = math.ceil(n / (_MAX_POINTS // 2))
    xs: list[Any] = []
    ys: list[float] = []
    for start in range(0, n, size):
        chunk = [(v, k) for k, v in enumerate(y[start : start + size], start) if not math.isnan(v)]
        if not chunk:
            xs.append(x[start])
            ys.append(math.nan)
            continue
        low, high = min(chunk), max(chunk)
        for _, k in sorted((low, high), key=lambda p: p[1]):
            xs.append(x[k])
            ys.append(y[k])
    return xs, ys


def render(picture: Picture, path: str, width: float = 11.0, height: float = 6.0, dpi: int = 100) -> None:
    """Writes the picture as a PNG file of width x height inches at `dpi`."""
    plt = require_matplotlib()
    n = len(picture.scores)
    x: Sequence[Any] = picture.times if picture.times is not None else range(n)
    fig, (top, bottom) = plt.subplots(
        2, 1, sharex=True, figsize=(width, height), dpi=dpi, gridspec_kw={"height_ratios": [3, 2]}
    )
    try:
        fig.suptitle(picture.title, fontsize=13)
        names = list(picture.series)[:_MAX_SERIES]
        for name in names:
            xs, ys = _envelope(x, picture.series[name])
            top.plot(xs, ys, linewidth=0.8, label=name)
        if picture.log_series:
            top.set_yscale("log")
        top.set_ylabel(names[0] if len(names) == 1 else picture.series_label)
        xs, ys = _envelope(x, picture.scores)
        bottom.plot(xs, ys, linewidth=0.8, color="tab:purple", label=picture.score_label)
        bottom.set_ylabel(picture.score_label)
        bottom.set_xlabel(picture.x_label)

        warm = next((k for k, s in enumerate(picture.scores) if not math.isnan(s)), n)
        if 0 < warm:
            end = x[warm] if warm < n else x[n - 1]
            for ax in (top, bottom):
                ax.axvspan(x[0], end, color="0.85", zorder=0, label="warm-up (no score)" if ax is bottom else None)

        first = picture.series[names[0]] if names else None
        # Known anomalies as hollow black rings, alerts as red triangles: neither
        # colour is one of the lines'.
        for rows, style, label in (
            (picture.anomalies, {"facecolors": "none", "edgecolors": "black", "marker": "o"}, "injected anomaly"),
            (picture.alerts, {"color": "red", "marker": "v"}, "alert"),
        ):
            if not rows:
                continue
            px = [x[k] for k in rows]
            bottom.scatter(px, [picture.scores[k] for k in rows], s=24, zorder=3, label=label, **style)
            if first is not None:
                top.scatter(px, [first[k] for k in rows], s=24, zorder=3, label=label, **style)

        more = len(picture.series) - len(names)
        # Legends beside the panels, where they hide no data.
        outside = {"loc": "upper left", "bbox_to_anchor": (1.01, 1.0), "fontsize": 8, "borderaxespad": 0.0}
        if names:
            top.legend(title=f"+{more} more columns" if more else None, **outside)
        bottom.legend(**outside)
        for ax in (top, bottom):
            ax.grid(True, linewidth=0.3, alpha=0.6)
        if picture.times is not None and isinstance(picture.times[0], datetime):
            mdates = importlib.import_module("matplotlib.dates")
            locator = mdates.AutoDateLocator()
            bottom.xaxis.set_major_locator(locator)
            bottom.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
        fig.tight_layout()
        fig.savefig(path, format="png")
    finally:
        plt.close(fig)
