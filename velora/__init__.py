"""Deep generative models of panel and event data.

Importing the package is cheap: the heavy modules (pandas, TensorFlow) load with the
subpackages that need them.
"""

__version__ = "0.1.0"
