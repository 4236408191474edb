"""`python -m movra`: a reactive invoice, run pass by pass.

Each pass prints what the kernel scheduled: which nodes were recomputed, which
were memo hits (their inputs' content did not change) and which were cut off
(recomputed to the same value, so their dependents were spared).

The demo is the default command.  With `--store PATH` it keeps its values in a
store: run it twice and the second run loads every value instead of computing
it.  `python -m movra store info|clear|gc PATH` shows, empties and tidies a
store."""
from __future__ import annotations

import argparse
import os
import sys
import textwrap
from collections.abc import Sequence

from . import Flow, __version__, kernel_version
from . import store as _store


def banner() -> str:
    return f"movra {__version__} (kernel {kernel_version()})"


def build_flow(store: object = None) -> Flow:
    flow = Flow(store=store)
    flow.input("price", 10.0)
    flow.input("qty", 3)
    flow.input("country", "FR")

    @flow.reactive
    def subtotal(price: float, qty: int) -> float:
        return price * qty

    @flow.reactive
    def tax_rate(country: str) -> float:
        return {"FR": 0.20, "DE": 0.19, "UK": 0.20}.get(country, 0.0)

    @flow.reactive
    def tax(subtotal: float, tax_rate: float) -> float:
        return round(subtotal * tax_rate, 2)

    @flow.view
    def invoice(subtotal: float, tax: float) -> str:
        return f"{subtotal:.2f} + {tax:.2f} tax = {subtotal + tax:.2f}"

    return flow


def store_folder_missing(path: str) -> str | None:
    """The folder `path` would be made in when it does not exist: a mistyped
    path must not create folders."""
    target = os.path.abspath(path.rstrip("/" + (os.altsep or "")) or path)
    folder = os.path.dirname(target)
    return None if os.path.isdir(folder) else folder


def run_demo(store: str | None = None) -> int:
    if store is not None and (folder := store_folder_missing(store)) is not None:
        print(f"python -m movra: error: the folder {folder} for the store {store} does not "
              f"exist; create it first", file=sys.stderr)
        return 1
    try:
        # The demo's functions take microseconds, less than loading their values
        # would: a store would not keep them unless told to keep every value.
        opened = None if store is None else _store.open_store(store, min_seconds=0)
    except ValueError as error:
        print(f"python -m movra: error: {error}", file=sys.stderr)
        return 1
    print(f"{banner()} — a reactive invoice\n")
    flow = build_flow(opened)
    if store is not None:
        print(f"with the store {store}: {flow.explain('subtotal')}\n")
    steps: list[tuple[str, dict[str, object]]] = [
        ("first run: everything is computed" + (" or loaded" if store else ""), {}),
        ("price 10.0 -> 12.0: subtotal, tax and invoice recompute", {"price": 12.0}),
        ("price set to 12.0 again: same content, so nothing is scheduled", {"price": 12.0}),
        ("country FR -> UK: same rate, so tax_rate is cut off", {"country": "UK"}),
        ("qty 3 -> 4", {"qty": 4}),
    ]
    for title, changes in steps:
        print(f"== {title}")
        if changes:
            flow.set(changes)
            changed = ", ".join(f"{k}={v!r}" for k, v in changes.items())
            why = textwrap.fill(str(flow.explain("invoice")), 78, initial_indent="  ", subsequent_indent="  ")
            print(f"after {changed}, why would invoice recompute?\n{why}")
        report = flow.run()
        print(f"{report}\n  invoice = {flow['invoice']}\n")
    print("The graph now, as Mermaid:\n")
    print(flow.to_mermaid())
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m movra",
        description="Run movra's demo, a reactive invoice computed pass by pass "
        "(the default command).")
    parser.add_argument("--version", action="version", version=banner())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    demo = commands.add_parser("demo", help="run the reactive invoice demo (the default)",
                               description="Run a reactive invoice pass by pass, showing what is "
                               "recomputed, what is a memo hit and what is cut off.")
    for where in (parser, demo):
        where.add_argument("--store", metavar="PATH", default=argparse.SUPPRESS,
                           help="keep the demo's values in this store; run twice, the second run loads them")
    # The store command parses its own arguments, --help included.
    commands.add_parser("store", help="show, clear or tidy a movra store (info|clear|gc PATH; "
                        "store --help says more)", add_help=False)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    # The store command parses its own arguments, --help included.
    args = None if argv[:1] == ["store"] else build_parser().parse_args(argv)
    try:
        if args is None:
            status = _store.main(argv[1:])
        else:
            status = run_demo(getattr(args, "store", None))
        # Output shorter than the buffer is written only now: a closed pipe
        # must fail here, not in the interpreter's final flush.
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the
        # interpreter's final flush of stdout from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
