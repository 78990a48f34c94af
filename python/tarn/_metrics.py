"""Evaluation helpers for the command line, written without third-party packages."""

from __future__ import annotations

import math
from collections.abc import Sequence


def roc_auc(labels: Sequence[bool], scores: Sequence[float]) -> float:
    """Area under the ROC curve of `scores` against binary `labels`.

    `labels[i]` is True for an anomaly. The value is the probability that a
    randomly chosen anomaly scores higher than a randomly chosen normal record,
    with ties counted as one half (the Mann-Whitney statistic with average
    ranks). Raises ValueError when the lengths differ, when a score is NaN, or
    when either class is empty.
    """
    n = len(scores)
    if len(labels) != n:
        raise ValueError(f"labels and scores differ in length ({len(labels)} != {n})")
    if any(math.isnan(s) for s in scores):
        raise ValueError("scores must not be NaN")
    positives = sum(1 for flag in labels if flag)
    negatives = n - positives
    if positives == 0 or negatives == 0:
        raise ValueError("ROC-AUC needs at least one anomaly and one normal record")

    order = sorted(range(n), key=lambda i: scores[i])
    # Twice the rank sum of the anomalies, in integers: a tie group occupying
    # ranks first..last (1-based) gives each member the rank (first + last) / 2.
    doubled_rank_sum = 0
    start = 0
    while start < n:
        end = start
        while end + 1 < n and scores[order[end + 1]] == scores[order[start]]:
            end += 1
        doubled_rank = (start + 1) + (end + 1)
        for k in range(start, end + 1):
            if labels[order[k]]:
                doubled_rank_sum += doubled_rank
        start = end + 1
    doubled_u = doubled_rank_sum - positives * (positives + 1)
    return doubled_u / (2 * positives * negatives)
