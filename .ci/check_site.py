"""Opens the built documentation site in headless Chromium and checks that it
renders: a screenshot of the home page, the API pages, the recipes and the
"coming from" pages is kept beside the site, and the DOM Chromium rendered
must have the expected page titles and, on the Graph API page, an entry for
every method of the installed `movra.Graph`.

It also renders what a notebook shows of a flow, a failed run's report and an
explanation (the HTML their `_repr_html_` / `_repr_mimebundle_` give, with no
network), screenshots it (notebook-views.png) and checks that the drawing and
the tables are there.

    python .ci/check_site.py SITE_DIR SCREENSHOT_DIR
"""
from __future__ import annotations

import html
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import movra

PAGES = {  # page -> (screenshot, expected <title>)
    "index.html": ("home.png", "movra"),
    "reference/graph/index.html": ("graph-api.png", "Graph API - movra"),
    "reference/flow/index.html": ("flow-api.png", "Flow API - movra"),
    "tutorial/index.html": ("tutorial.png", "Tutorial - movra"),
    "benchmarks/index.html": ("benchmarks.png", "Benchmarks - movra"),
    "recipes/pandas/index.html": ("recipe-pandas.png", "A pandas pipeline - movra"),
    "recipes/debugging/index.html": ("recipe-debugging.png", "Debugging a failing node - movra"),
    "recipes/cluster/index.html": ("recipe-cluster.png", "Deploying on a cluster - movra"),
    "coming-from/hamilton/index.html": ("from-hamilton.png", "Hamilton - movra"),
    "coming-from/dask/index.html": ("from-dask.png", "Dask - movra"),
    "coming-from/loman/index.html": ("from-loman.png", "loman - movra"),
}
FLOW_API = ["movra.Flow", "movra.Report", "movra.Explanation", "movra.FlowError", "movra.content_hash",
            "movra.Flow.run", "movra.Flow.set", "movra.Flow.refresh", "movra.Flow.explain", "movra.Flow.watch",
            "movra.flow.Watch", "movra.Store", "movra.StoreWarning", "movra.store.SQLiteStore",
            "movra.store.DirectoryStore", "movra.store.open_store", "movra.Flow.__getitem__", "movra.Flow.__len__",
            "movra.Flow.__contains__", "movra.Flow.__iter__", "movra.Flow.add_hook", "movra.Flow.to_svg",
            "movra.Event", "movra.log_events"]
PNG = b"\x89PNG\r\n\x1a\n"


def chromium() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if path := shutil.which(name):
            return path
    raise SystemExit("no Chromium found")


def render(browser: str, url: str, screenshot: Path, profile: str) -> str:
    """Screenshot of `url`, and the DOM after its scripts ran."""
    common = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
              "--no-first-run", f"--user-data-dir={profile}", "--window-size=1280,1600",
              "--virtual-time-budget=3000"]
    subprocess.run(common + [f"--screenshot={screenshot}", url], check=True, capture_output=True, timeout=120)
    dom = subprocess.run(common + ["--dump-dom", url], check=True, capture_output=True, text=True, timeout=120)
    return dom.stdout


def graph_methods() -> list[str]:
    return sorted(name for name in dir(movra.Graph)
                  if not name.startswith("_") and callable(getattr(movra.Graph, name)))


def check(site: Path, shots: Path) -> list[str]:
    browser, problems = chromium(), []
    shots.mkdir(parents=True, exist_ok=True)
    doms = {}
    with tempfile.TemporaryDirectory() as profile:
        for page, (shot, title) in PAGES.items():
            dom = render(browser, (site / page).resolve().as_uri(), shots / shot, profile)
            doms[page] = dom
            found = re.search(r"<title>(.*?)</title>", dom, re.S)
            if not found or html.unescape(found.group(1)).strip() != title:
                problems.append(f"{page}: title {found.group(1) if found else None!r}, expected {title!r}")
            if 'class="md-content"' not in dom:
                problems.append(f"{page}: the theme's content area did not render")
            picture = (shots / shot).read_bytes() if (shots / shot).exists() else b""
            if not picture.startswith(PNG) or len(picture) < 20_000:
                problems.append(f"{page}: no usable screenshot ({len(picture)} bytes)")
    methods = graph_methods()
    if len(methods) < 21:
        problems.append(f"movra.Graph has only {len(methods)} methods: {methods}")
    graph_dom = doms["reference/graph/index.html"]
    problems += [f"Graph API page: no entry for Graph.{m}" for m in methods
                 if not re.search(rf'id="Graph\.{m}"[^>]*>[^<]*<code>{m}\(', graph_dom)]
    flow_dom = doms["reference/flow/index.html"]
    problems += [f"Flow API page: no entry for {name}" for name in FLOW_API if f'id="{name}"' not in flow_dom]
    if 'src="../img/tutorial-flow.svg"' not in doms["tutorial/index.html"]:
        problems.append("tutorial: the flow's picture is missing")
    return problems + check_notebook_views(browser, shots)


def notebook_views() -> str:
    """The page a notebook shows for a flow whose run failed: the report, the
    flow and an explanation, as their HTML views give them."""
    flow = movra.Flow()
    flow.input("price", 10.0)
    flow.input("qty", 2)
    flow.input("country", "FR")

    @flow.reactive
    def unit(price, qty):
        return price / qty

    @flow.reactive
    def tax_rate(country):
        return {"FR": 0.2, "DE": 0.19}[country]

    @flow.view
    def invoice(unit, tax_rate):
        return f"{unit * (1 + tax_rate):.2f}"

    flow.run()
    flow.set(qty=0)
    try:
        flow.run()
    except movra.FlowError as error:
        report = error.report
    flow.set(country="DE")
    cells = [("report", report._repr_html_()), ("flow", flow._repr_mimebundle_()["text/html"]),
             ("flow.explain('invoice')", flow.explain("invoice")._repr_html_()),
             ("flow.to_svg(explain='invoice')", flow.to_svg(explain="invoice"))]
    body = "".join(f"<h3><code>{html.escape(code)}</code></h3>{view}" for code, view in cells)
    return f"<!doctype html><html><head><title>notebook views</title></head><body>{body}</body></html>"


def check_notebook_views(browser: str, shots: Path) -> list[str]:
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        page = Path(scratch) / "views.html"
        page.write_text(notebook_views(), encoding="utf-8")
        dom = render(browser, page.as_uri(), shots / "notebook-views.png", str(Path(scratch) / "profile"))
    if dom.count("<svg") != 2 or dom.count("<table") != 2:
        problems.append(f"notebook views: {dom.count('<svg')} drawings and {dom.count('<table')} tables, "
                        "expected 2 and 2")
    if "ZeroDivisionError" not in dom or 'class="movra-node failed"' not in dom:
        problems.append("notebook views: the failure does not show")
    picture = (shots / "notebook-views.png").read_bytes() if (shots / "notebook-views.png").exists() else b""
    if not picture.startswith(PNG) or len(picture) < 20_000:
        problems.append(f"notebook views: no usable screenshot ({len(picture)} bytes)")
    return problems


def main() -> int:
    site, shots = Path(sys.argv[1]), Path(sys.argv[2])
    problems = check(site, shots)
    for problem in problems:
        print("site check:", problem)
    if problems:
        return 1
    print(f"site check: {len(PAGES)} pages and the notebook views rendered, titles right, all "
          f"{len(graph_methods())} Graph methods listed; screenshots in {shots}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
