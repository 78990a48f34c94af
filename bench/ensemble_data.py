"""Labelled benchmark data and the point-wise measures used by bench/ensemble.py.

The data lives outside the repository, in ../shared/benchmarks relative to the
repository root (or the folder named by TARN_BENCHMARKS):
- nab/: 24 series of the Numenta Anomaly Benchmark; a point is anomalous when it
  lies inside one of the file's windows; the first 10% of each series is warm-up;
- adbench/: five tabular sets streamed in a seeded random order; the first 5% of
  each stream is warm-up.
"""
from __future__ import annotations

import csv
import json
import os
import pathlib
import sys

import numpy as np

REPO = pathlib.Path(__file__).resolve().parent.parent


def root() -> pathlib.Path:
    path = pathlib.Path(os.environ.get("TARN_BENCHMARKS", REPO.parent / "shared" / "benchmarks"))
    if not (path / "nab" / "windows.json").is_file() or not (path / "adbench").is_dir():
        sys.exit(f"benchmark data not found in {path} (expected nab/windows.json and adbench/);"
                 " set TARN_BENCHMARKS to the folder holding nab/ and adbench/")
    return path


def nab_series() -> list[tuple[str, np.ndarray, np.ndarray, int]]:
    """(name, values n x 1, labels, warm-up length) for each NAB series, sorted by name."""
    base = root() / "nab"
    windows = json.loads((base / "windows.json").read_text())
    out = []
    for name in sorted(windows):
        with open(base / "data" / name, newline="") as f:
            rows = list(csv.DictReader(f))
        stamps = [r["timestamp"][:19] for r in rows]
        values = np.array([[float(r["value"])] for r in rows])
        labels = np.zeros(len(rows), dtype=bool)
        for start, end in windows[name]:
            s, e = start[:19], end[:19]
            labels |= np.array([s <= t <= e for t in stamps])
        out.append((name.split("/")[-1].removesuffix(".csv"), values, labels, len(rows) // 10))
    return out


def adbench_streams(seeds: list[int], cap: int | None) -> list[tuple[str, np.ndarray, np.ndarray, int]]:
    """(name/seed, X, y, warm-up length): each set in a seeded random order, at most `cap` rows."""
    out = []
    for path in sorted((root() / "adbench").glob("*.npz"), key=lambda p: p.name.split("_", 1)[1]):
        data = np.load(path)
        X, y = data["X"].astype(np.float64), data["y"].astype(bool)
        for seed in seeds:
            order = np.random.RandomState(seed).permutation(len(y))
            if cap is not None:
                order = order[:cap]
            name = path.stem.split("_", 1)[1]
            out.append((f"{name}/{seed}", X[order], y[order], len(order) // 20))
    return out


def held_out_streams() -> list[tuple[str, np.ndarray, np.ndarray, int]]:
    """(name/draw, X, y, warm-up length): sets built the ADBench way from other data, for a check
    that a rule chosen on the five sets above also helps elsewhere.

    One class of a classification set is thinned to a few anomalies among the others, streamed in a
    seeded random order (first 5% skipped): scikit-learn's breast cancer (20 malignant among the
    benign, 3 draws), wine (10 of class 0, 3 draws) and digits (40 of one digit among all the
    others, one draw per digit); and a synthetic set of 4,000 records of 6 features lying near a
    plane, on ranges from 1e-3 to 1e4 and one heavy-tailed, with 80 records off the plane (3 draws).
    Needs scikit-learn (for the benchmark only: `pip install scikit-learn`).
    """
    try:
        from sklearn.datasets import load_breast_cancer, load_digits, load_wine
    except ImportError:
        sys.exit("--held-out needs scikit-learn (pip install scikit-learn)")

    def thinned(name: str, X: np.ndarray, rare: np.ndarray, k: int, seed: int):
        rs = np.random.RandomState(seed)
        picked = rs.choice(np.flatnonzero(rare), k, replace=False)
        idx = np.r_[np.flatnonzero(~rare), picked]
        idx = idx[rs.permutation(len(idx))]
        return name, X[idx].astype(np.float64), rare[idx], len(idx) // 20

    cancer, wine, digits = load_breast_cancer(), load_wine(), load_digits()
    out = []
    for draw in range(3):
        out.append(thinned(f"cancer/{draw}", cancer.data, cancer.target == 0, 20, 300 + draw))
        out.append(thinned(f"wine/{draw}", wine.data, wine.target == 0, 10, 300 + draw))
    for digit in range(10):
        out.append(thinned(f"digits/{digit}", digits.data, digits.target == digit, 40, 400 + digit))
    for draw in range(3):
        rs = np.random.RandomState(200 + draw)
        n = 4000
        X = rs.normal(size=(n, 2)) @ rs.normal(size=(2, 6)) + 0.1 * rs.normal(size=(n, 6))
        y = np.zeros(n, dtype=bool)
        off = rs.choice(n, 80, replace=False)
        y[off] = True
        X[off] = rs.normal(size=(80, 6)) * X.std(axis=0)
        X = X * np.array([1e-3, 1, 10, 1e3, 1, 1e2]) + np.array([0, 5, -100, 1e4, 0, 0])
        X[:, 4] = np.exp(X[:, 4])
        out.append((f"synthetic/{draw}", X, y, n // 20))
    return out


def roc_auc(labels: np.ndarray, scores: np.ndarray) -> float:
    """Mann-Whitney ROC-AUC with ties counted as one half."""
    order = np.argsort(scores, kind="mergesort")
    s = scores[order]
    starts = np.r_[0, np.nonzero(np.diff(s))[0] + 1]
    ends = np.r_[starts[1:], len(s)]
    ranks = np.empty(len(s))
    ranks[order] = np.repeat((starts + ends + 1) / 2.0, ends - starts)   # average rank of each tie group
    pos = labels.sum()
    neg = len(labels) - pos
    return float((ranks[labels].sum() - pos * (pos + 1) / 2) / (pos * neg))


def average_precision(labels: np.ndarray, scores: np.ndarray) -> float:
    """Average precision: sum over distinct thresholds of recall gained times precision there."""
    order = np.argsort(-scores, kind="mergesort")
    s, y = scores[order], labels[order]
    tp = np.cumsum(y)
    last = np.r_[np.nonzero(np.diff(s))[0], len(s) - 1]   # end of each tie group
    tp, fp = tp[last], (last + 1) - tp[last]
    precision = tp / (tp + fp)
    recall_gain = np.diff(np.r_[0, tp]) / y.sum()
    return float((recall_gain * precision).sum())


def measure(labels: np.ndarray, scores: np.ndarray, warmup: int) -> tuple[float, float]:
    y, s = labels[warmup:], np.asarray(scores, dtype=np.float64)[warmup:]
    if np.isnan(s).any():
        raise ValueError("NaN score")
    if y.all() or not y.any():
        return float("nan"), float("nan")
    return roc_auc(y, s), average_precision(y, s)


def shingles(X: np.ndarray, size: int) -> np.ndarray:
    """Row t holds rows t-size+1 .. t (oldest first), padded with the first row at the start."""
    if size == 1:
        return X
    padded = np.vstack([np.repeat(X[:1], size - 1, axis=0), X])
    return np.hstack([padded[i:i + len(X)] for i in range(size)])
