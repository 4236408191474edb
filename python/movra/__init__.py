"""Reactive computations on a compiled graph kernel.

`Graph` keeps the bookkeeping of a reactive computation graph (registry,
topological order, change propagation, node states and memo signatures);
node values stay in Python.
"""
from ._movra import Graph, kernel_version

__all__ = ["Graph", "kernel_version"]
