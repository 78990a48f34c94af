"""Scorers compared by bench/ensemble.py: each maps a stream (n x d array) to n scores.

Every scorer sees each record once, in order, scoring it with what it learned
from the records before it (or, for detectors that learn first, with the record
included), exactly as a streaming user would. `series` is True for the NAB
series, where every method sees 8-shingles (detectors with internal shingling
shingle themselves).
"""
from __future__ import annotations

import numpy as np

import tarn
from tarn.preprocessing import MinMaxScaler
from ensemble_data import shingles

SHINGLE = 8
SEED = 1


def _feed(X: np.ndarray, series: bool) -> np.ndarray:
    return shingles(X, SHINGLE) if series else X


def scaled(X: np.ndarray) -> np.ndarray:
    """The stream through a plain running min-max scaler (learn the row, then scale it)."""
    return np.array(MinMaxScaler(X.shape[1]).update_and_transform_many(X))


def forest(X: np.ndarray, series: bool) -> np.ndarray:
    if series:
        det = tarn.Forest(X.shape[1], shingle_size=SHINGLE, seed=SEED)
        return np.array([det.update_and_score(list(x)) for x in X])
    det = tarn.Forest(X.shape[1], seed=SEED)
    return np.array([det.update_and_score(list(x)) for x in X])


def onlineiforest(X: np.ndarray, series: bool) -> np.ndarray:
    P = _feed(X, series)
    det = tarn.OnlineIForest(P.shape[1], seed=SEED)
    return np.array([det.update_and_score(list(p)) for p in P])


def featuresketch(X: np.ndarray, series: bool) -> np.ndarray:
    P = _feed(X, series)
    names = [f"x{i}" for i in range(P.shape[1])]
    det = tarn.FeatureSketch(seed=SEED)
    return np.array([det.update_and_score(list(zip(names, p.tolist()))) for p in P])


def mstream(X: np.ndarray, series: bool) -> np.ndarray:
    P = _feed(X, series)
    det = tarn.MStream(P.shape[1], 0, seed=SEED)
    return np.array([det.update_and_score(list(p), [], t + 1) for t, p in enumerate(P)])


TARN = {"Forest": forest, "OnlineIForest": onlineiforest, "FeatureSketch": featuresketch,
        "MStream": mstream}


# --- peers (installed for the benchmark only) ---------------------------------

def halfspacetrees(X: np.ndarray, series: bool) -> np.ndarray:
    from river import anomaly, compose, preprocessing
    P = _feed(X, series)
    model = compose.Pipeline(preprocessing.MinMaxScaler(), anomaly.HalfSpaceTrees(seed=SEED))
    out = np.empty(len(P))
    for t, p in enumerate(P):
        x = dict(enumerate(p.tolist()))
        out[t] = model.score_one(x)
        model.learn_one(x)
    return out


def _pysad(make):
    def run(X: np.ndarray, series: bool) -> np.ndarray:
        P = _feed(X, series)
        np.random.seed(SEED)
        model = make(P)
        return np.array([model.fit_score_partial(p) for p in P], dtype=np.float64)
    return run


def _rshash(P):
    from pysad.models import RSHash
    # Its constructor asks for every feature's range: given the whole stream's, which no
    # streaming detector here gets to see.
    return RSHash(feature_mins=P.min(axis=0), feature_maxes=P.max(axis=0))


def _loda(P):
    from pysad.models import LODA
    return LODA()


def _xstream(P):
    from pysad.models import xStream
    return xStream()


def _iforestasd(P):
    from pysad.models import IForestASD
    return IForestASD()


PEERS = {"river HalfSpaceTrees": halfspacetrees, "pysad RSHash": _pysad(_rshash),
         "pysad LODA": _pysad(_loda), "pysad xStream": _pysad(_xstream),
         "pysad IForestASD": _pysad(_iforestasd)}
