"""`python -m movra`: a reactive invoice, run pass by pass.

Each pass prints what the kernel scheduled: which nodes were recomputed, which
were memo hits (their inputs' content did not change) and which were cut off
(recomputed to the same value, so their dependents were spared).

The demo is the default command; `python -m movra store ...` hands the rest of
the command line to `movra.store.main` when the package has that module."""
from __future__ import annotations

import argparse
import importlib
import importlib.util
import os
import sys
from collections.abc import Sequence

from . import Flow, __version__, kernel_version


def banner() -> str:
    return f"movra {__version__} (kernel {kernel_version()})"


def build_flow() -> Flow:
    flow = Flow()
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


def run_demo() -> int:
    print(f"{banner()} — a reactive invoice\n")
    flow = build_flow()
    steps: list[tuple[str, dict[str, object]]] = [
        ("first run: everything is computed", {}),
        ("price 10.0 -> 12.0: subtotal, tax and invoice recompute", {"price": 12.0}),
        ("price set to 12.0 again: same content, so nothing is scheduled", {"price": 12.0}),
        ("country FR -> UK: same rate, so tax_rate is cut off", {"country": "UK"}),
        ("qty 3 -> 4", {"qty": 4}),
    ]
    for title, changes in steps:
        if changes:
            flow.set(changes)
            changed = ", ".join(f"{k}={v!r}" for k, v in changes.items())
            print(f"why would invoice recompute after {changed}?\n  {flow.explain('invoice')}")
        report = flow.run()
        print(f"== {title}\n{report}\n  invoice = {flow['invoice']}\n")
    print("The graph now, as Mermaid:\n")
    print(flow.to_mermaid())
    return 0


def run_store(argv: Sequence[str]) -> int:
    store = importlib.import_module(f"{__package__}.store")
    status = store.main(list(argv))
    return 0 if status is None else int(status)


def has_store() -> bool:
    return importlib.util.find_spec(f"{__package__}.store") is not None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m movra",
        description="Run movra's demo, a reactive invoice computed pass by pass "
        "(the default command).")
    parser.add_argument("--version", action="version", version=banner())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser("demo", help="run the reactive invoice demo (the default)",
                        description="Run a reactive invoice pass by pass, showing what is "
                        "recomputed, what is a memo hit and what is cut off.")
    if has_store():
        # The store parses its own arguments, --help included.
        store = commands.add_parser("store", help="inspect and manage a movra store", add_help=False)
        store.add_argument("store_args", nargs=argparse.REMAINDER)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status = run_store(args.store_args) if args.command == "store" else run_demo()
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
