"""`python -m movra`: a reactive invoice, run pass by pass.

Each pass prints what the kernel scheduled: which nodes were recomputed, which
were memo hits (their inputs' content did not change) and which were cut off
(recomputed to the same value, so their dependents were spared)."""
from __future__ import annotations

from . import Flow, kernel_version


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


def main() -> None:
    print(f"movra {kernel_version()} — a reactive invoice\n")
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


if __name__ == "__main__":
    main()
