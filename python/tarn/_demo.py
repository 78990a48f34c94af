"""`python -m tarn demo`: every detector on a generated stream with known anomalies.

Each stream is generated from a fixed seed with the standard library's
`random.Random`, so a demo run is reproducible: the records, the injected
anomalies, the detector seeds and therefore the scores and ROC-AUC values are
the same on every run (only the throughput varies with the machine).
"""

from __future__ import annotations

import math
import os
import random
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TextIO

from . import tarn as _ext
from ._metrics import roc_auc


@dataclass(frozen=True)
class Stream:
    """A generated stream: its records (as call arguments) and anomaly labels."""

    records: list[tuple[object, ...]]
    labels: list[bool]


@dataclass(frozen=True)
class DemoResult:
    detector: str
    stream: str
    records: int
    anomalies: int
    seconds: float
    auc: float | None  # None when the scored part holds only one class
    precision: float | None  # of the alerts at ALERT_RATE; None without alerts
    recall: float | None  # None without anomalies after the warm-up

    @property
    def throughput(self) -> float:
        return self.records / self.seconds if self.seconds > 0 else math.inf


def _anomaly_positions(rng: random.Random, n: int, warmup: int, count: int, spacing: int) -> list[int]:
    """`count` distinct positions in [warmup, n), at least `spacing` apart."""
    positions: list[int] = []
    attempts = 0
    while len(positions) < count and attempts < 100 * count:
        attempts += 1
        p = rng.randrange(warmup, n)
        if all(abs(p - q) >= spacing for q in positions):
            positions.append(p)
    return sorted(positions)


def series_stream(n: int, warmup: int, seed: int) -> Stream:
    """A noisy two-period seasonal series with injected spikes and short oscillations.

    A spike is one record beyond the series' range; an oscillation is a run of
    four records jumping between high and low values. Every injected record is
    labelled anomalous.
    """
    rng = random.Random(seed)
    values = [
        math.sin(2 * math.pi * t / 40) + 0.5 * math.sin(2 * math.pi * t / 7) + rng.gauss(0.0, 0.08)
        for t in range(n)
    ]
    labels = [False] * n
    for k, p in enumerate(_anomaly_positions(rng, n - 4, warmup, max(1, n // 200), 30)):
        if k % 2 == 0:
            values[p] = rng.choice((-1.0, 1.0)) * rng.uniform(2.2, 3.0)
            labels[p] = True
        else:
            sign = rng.choice((-1.0, 1.0))
            for q in range(p, p + 4):
                values[q] = sign * rng.uniform(1.8, 2.6)
                labels[q] = True
                sign = -sign
    return Stream([([v],) for v in values], labels)


def cluster_stream(n: int, warmup: int, seed: int) -> Stream:
    """Points from three 3-D Gaussian clusters with scattered outliers (2%)."""
    rng = random.Random(seed)
    centres = [(0.0, 0.0, 0.0), (4.0, 4.0, 0.0), (0.0, 5.0, 4.0)]
    records: list[tuple[object, ...]] = []
    labels: list[bool] = []
    for t in range(n):
        outlier = t >= warmup and rng.random() < 0.02
        if outlier:
            # Uniform in a wide box, away from every cluster centre.
            while True:
                point = [rng.uniform(-6.0, 10.0) for _ in range(3)]
                if min(math.dist(point, c) for c in centres) > 3.0:
                    break
        else:
            c = centres[rng.randrange(3)]
            point = [c[i] + rng.gauss(0.0, 0.6) for i in range(3)]
        records.append((point,))
        labels.append(outlier)
    return Stream(records, labels)


def traffic_stream(n: int, warmup: int, seed: int) -> Stream:
    """Connection records: (bytes, duration) numeric, (source, port, protocol) categorical.

    Twenty normal records arrive per tick; at a few ticks a burst of twenty
    identical-looking connections from one unseen source to an unusual port is
    mixed in. The burst records are the anomalies.
    """
    rng = random.Random(seed)
    per_tick = 20
    bursts = max(1, n // 800)
    # Bursts start after the warm-up and end before the stream is cut at n records.
    first_burst = warmup // per_tick + 1
    last_burst = max(first_burst, n // per_tick - bursts - 1)
    candidates = range(first_burst, last_burst + 1)
    burst_ticks = set(rng.sample(candidates, k=min(bursts, len(candidates))))
    records: list[tuple[object, ...]] = []
    labels: list[bool] = []
    ports = (80, 443, 22, 53)
    tick = 0
    while len(records) < n:
        tick += 1
        batch: list[tuple[tuple[object, ...], bool]] = []
        for _ in range(per_tick):
            numeric = [rng.lognormvariate(7.0, 0.6), rng.expovariate(1.0 / 0.3)]
            categorical = [min(int(rng.paretovariate(1.2)), 200), rng.choice(ports), rng.randrange(3)]
            batch.append(((numeric, categorical, tick), False))
        if tick in burst_ticks:
            source = 900 + tick
            for _ in range(per_tick):
                numeric = [rng.uniform(40.0, 60.0), rng.uniform(0.0, 0.01)]
                batch.append(((numeric, [source, 23, 0], tick), True))
            rng.shuffle(batch)
        for record, label in batch:
            records.append(record)
            labels.append(label)
    return Stream(records[:n], labels[:n])


_SERVICES: list[dict[str, tuple[float, float]]] = [
    {"http.get": (1.0, 0.0), "latency_ms": (40.0, 6.0), "bytes_out": (8.0, 1.0), "status.200": (1.0, 0.0)},
    {"http.post": (1.0, 0.0), "latency_ms": (120.0, 15.0), "bytes_in": (12.0, 2.0), "status.201": (1.0, 0.0)},
    {"db.query": (1.0, 0.0), "rows": (30.0, 8.0), "latency_ms": (5.0, 1.0)},
    {"cache.hit": (1.0, 0.0), "latency_ms": (0.5, 0.1)},
    {"auth.login": (1.0, 0.0), "user.known": (1.0, 0.0), "latency_ms": (80.0, 10.0), "mfa": (1.0, 0.0)},
    {"queue.push": (1.0, 0.0), "depth": (10.0, 3.0), "bytes_in": (4.0, 0.5)},
]


def event_stream(n: int, warmup: int, seed: int) -> Stream:
    """Sparse named-feature events from six service templates, 2% anomalies.

    Anomalies are of three kinds: a feature name never seen before, a familiar
    event with one value far out of range, and a mix of two unrelated
    templates in one event.
    """
    rng = random.Random(seed)
    records: list[tuple[object, ...]] = []
    labels: list[bool] = []

    def draw(template: dict[str, tuple[float, float]]) -> dict[str, float]:
        return {name: rng.gauss(mean, sd) if sd else mean for name, (mean, sd) in template.items()}

    for t in range(n):
        event = draw(_SERVICES[rng.randrange(len(_SERVICES))])
        anomalous = t >= warmup and rng.random() < 0.02
        if anomalous:
            kind = rng.randrange(3)
            if kind == 0:
                event[f"error.{rng.choice(('segfault', 'oom', 'panic', 'timeout'))}.{t}"] = 1.0
            elif kind == 1:
                name = rng.choice(sorted(event))
                event[name] = event[name] * rng.uniform(50.0, 200.0) + 500.0
            else:
                event.update(draw(_SERVICES[rng.randrange(len(_SERVICES))]))
                event.update(draw(_SERVICES[rng.randrange(len(_SERVICES))]))
                event["auth.login"] = 1.0
                event["db.query"] = 1.0
        records.append((event,))
        labels.append(anomalous)
    return Stream(records, labels)


def _series_view(records: Sequence[tuple[object, ...]]) -> tuple[dict[str, list[float]], bool]:
    return {"value": [r[0][0] for r in records]}, False  # type: ignore[index]


def _cluster_view(records: Sequence[tuple[object, ...]]) -> tuple[dict[str, list[float]], bool]:
    return {f"x{i}": [r[0][i] for r in records] for i in range(3)}, False  # type: ignore[index]


def _traffic_view(records: Sequence[tuple[object, ...]]) -> tuple[dict[str, list[float]], bool]:
    return {"bytes": [r[0][0] for r in records]}, True  # type: ignore[index]


def _event_view(records: Sequence[tuple[object, ...]]) -> tuple[dict[str, list[float]], bool]:
    events: list[dict[str, float]] = [r[0] for r in records]  # type: ignore[misc]
    return {"latency_ms": [e.get("latency_ms", math.nan) for e in events]}, True


@dataclass(frozen=True)
class DemoCase:
    name: str
    stream: str
    make_stream: Callable[[int, int, int], Stream]
    make_detector: Callable[[int], Callable[..., float]]
    # The input as numeric series for a picture, and whether to draw them on a log scale.
    view: Callable[[Sequence[tuple[object, ...]]], tuple[dict[str, list[float]], bool]]


def _forest(seed: int) -> Callable[..., float]:
    return _ext.Forest(1, shingle_size=4, num_trees=50, capacity=256, seed=seed).update_and_score


def _online_iforest(seed: int) -> Callable[..., float]:
    return _ext.OnlineIForest(3, num_trees=32, window_size=1024, max_leaf_samples=16, seed=seed).update_and_score


def _mstream(seed: int) -> Callable[..., float]:
    return _ext.MStream(2, 3, seed=seed).update_and_score


def _feature_sketch(seed: int) -> Callable[..., float]:
    return _ext.FeatureSketch(seed=seed).update_and_score


CASES: list[DemoCase] = [
    DemoCase("Forest", "seasonal series, shingle 4", series_stream, _forest, _series_view),
    DemoCase("OnlineIForest", "3-D clusters and outliers", cluster_stream, _online_iforest, _cluster_view),
    DemoCase("MStream", "connections with bursts", traffic_stream, _mstream, _traffic_view),
    DemoCase("FeatureSketch", "sparse named features", event_stream, _feature_sketch, _event_view),
]


# Alerts: a tarn.alerts.Threshold at this rate over the scores after the detector's
# warm-up, itself silent for its first ALERT_WARMUP scores.
ALERT_RATE = 0.01
ALERT_WARMUP = 100


def alert_quality(labels: Sequence[bool], scores: Sequence[float]) -> tuple[list[int], float | None, float | None]:
    """The alerting positions of `scores` and the alerts' precision and recall against `labels`."""
    from .alerts import Threshold

    flags, _ = Threshold(rate=ALERT_RATE, warmup=ALERT_WARMUP).update_many(list(scores))
    alerts = [k for k, flag in enumerate(flags) if flag]
    hits = sum(1 for k in alerts if labels[k])
    anomalies = sum(1 for flag in labels if flag)
    precision = hits / len(alerts) if alerts else None
    recall = hits / anomalies if anomalies else None
    return alerts, precision, recall


def run_case(
    case: DemoCase, records: int, warmup: int, seed: int, plot_dir: str | None = None
) -> DemoResult:
    """Generates the case's stream, scores every record and measures the AUC after warm-up.

    With `plot_dir`, draws the stream and its scores into plot_dir/DETECTOR.png.
    """
    stream = case.make_stream(records, warmup, seed)
    score = case.make_detector(seed)
    scores: list[float] = []
    append = scores.append
    start = time.perf_counter()
    for args in stream.records:
        append(score(*args))
    seconds = time.perf_counter() - start
    labels = stream.labels[warmup:]
    auc = roc_auc(labels, scores[warmup:]) if 0 < sum(labels) < len(labels) else None
    alerts, precision, recall = alert_quality(labels, scores[warmup:])
    if plot_dir is not None:
        _draw(case, stream, scores, warmup, seed, [warmup + k for k in alerts], plot_dir)
    return DemoResult(
        case.name, case.stream, len(stream.records), sum(stream.labels), seconds, auc, precision, recall
    )


def _draw(
    case: DemoCase, stream: Stream, scores: list[float], warmup: int, seed: int, alerts: list[int], plot_dir: str
) -> None:
    from ._files import AtomicTarget
    from ._plot import Picture, render

    series, log = case.view(stream.records)
    picture = Picture(
        title=f"{case.name} on {case.stream} (tarn demo, seed {seed})",
        series=series,
        scores=[math.nan] * warmup + scores[warmup:],
        score_label=f"{case.name} score",
        x_label="record",
        anomalies=[k for k, flag in enumerate(stream.labels) if flag],
        alerts=alerts,
        series_label="input",
        log_series=log,
    )
    target = AtomicTarget(os.path.join(plot_dir, f"{case.name.lower()}.png"))
    try:
        render(picture, target.temp)
        target.commit()
    finally:
        target.discard()


def format_table(results: Sequence[DemoResult]) -> str:
    header = ("detector", "stream", "records", "anomalies", "records/s", "ROC-AUC", "precision", "recall")
    rows = [
        (
            r.detector,
            r.stream,
            str(r.records),
            str(r.anomalies),
            f"{r.throughput:,.0f}",
            *("n/a" if v is None else f"{v:.3f}" for v in (r.auc, r.precision, r.recall)),
        )
        for r in results
    ]
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    left = {0, 1}

    def line(cells: Sequence[str]) -> str:
        parts = [c.ljust(w) if i in left else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))]
        return "  ".join(parts).rstrip()

    return "\n".join([line(header), line(["-" * w for w in widths]), *(line(r) for r in rows)])


def run_demo(
    out: TextIO, records: int, seed: int, names: Sequence[str] | None = None, plot_dir: str | None = None
) -> list[DemoResult]:
    """Runs the selected cases (all by default) and prints the result table to `out`."""
    warmup = min(500, records // 5)
    cases = [c for c in CASES if names is None or c.name.lower() in names]
    print(
        f"tarn {_ext.__version__} demo: generated streams with injected anomalies (seed {seed})\n",
        file=out,
        flush=True,
    )
    results = [run_case(case, records, warmup, seed, plot_dir) for case in cases]
    print(format_table(results), file=out)
    print(
        f"\nROC-AUC: the detector's scores against the injected labels, over the records after\n"
        f"a warm-up of {warmup}; 1.0 ranks every anomaly above every normal record, 0.5 is chance.\n"
        f"precision, recall: of the alerts of tarn.alerts.Threshold(rate={ALERT_RATE}) over the same\n"
        f"records (silent for its first {ALERT_WARMUP}): the share of alerts that are injected\n"
        f"anomalies, and the share of injected anomalies that alert.",
        file=out,
    )
    return results
