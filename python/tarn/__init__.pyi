"""tarn: streaming anomaly detectors as a native extension.

Forest (Random Cut Forest), OnlineIForest (Online Isolation Forest),
MStream (mStream) and FeatureSketch, each fed one observation at a time.
"""

from . import tarn as tarn
from .tarn import FeatureSketch as FeatureSketch
from .tarn import Forest as Forest
from .tarn import MStream as MStream
from .tarn import OnlineIForest as OnlineIForest
from .tarn import __version__ as __version__

__all__ = ["FeatureSketch", "MStream", "OnlineIForest", "Forest", "__version__"]
