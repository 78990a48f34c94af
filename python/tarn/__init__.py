"""tarn: streaming anomaly detectors as a native extension.

Forest (Random Cut Forest), OnlineIForest (Online Isolation Forest),
MStream (mStream) and FeatureSketch, each fed one observation at a time.
"""

from .tarn import *  # noqa: F401,F403
from .tarn import __all__, __version__  # noqa: F401
