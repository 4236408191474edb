"""Reactive computations on a compiled graph kernel.

`Graph` keeps the bookkeeping of a reactive computation graph (registry,
topological order, change propagation, node states and memo signatures);
`Flow` drives it: plain Python functions become nodes that are recomputed
exactly when what they depend on changes.
"""
from importlib import metadata as _metadata

from ._movra import Graph, kernel_version
from ._events import Event, log_events
from ._messages import HiddenDefaultWarning
from .flow import Explanation, Flow, FlowError, Report
from .hashing import content_hash
from .store import Store, StoreWarning

__version__: str = _metadata.version(__name__)

__all__ = ["Graph", "kernel_version", "Flow", "FlowError", "Report", "Explanation", "Store", "StoreWarning",
           "content_hash", "Event", "log_events", "HiddenDefaultWarning"]
