"""Alerts from scores: a calibrated streaming threshold for any detector.

    >>> import tarn, tarn.alerts
    >>> th = tarn.alerts.Threshold(rate=0.01, warmup=100)
    >>> flags, grades = th.update_many([float(i % 10) for i in range(1000)])
    >>> th.update(100.0)
    (True, 1.0)

See ``Threshold`` for the semantics of grades and alerts.
"""

from . import _native

Threshold = _native.load("_alerts").Threshold

__all__ = ["Threshold"]
