"""A real notebook: a cell that declares a node is edited and run again."""
import pytest

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")

CELLS = [
    "import movra\nflow = movra.Flow(interactive=True)\nflow.input('price', 10)\ncalls = []",
    "@flow.reactive\ndef total(price):\n    calls.append('total')\n    return price * 2",
    "@flow.view\ndef label(total):\n    calls.append('label')\n    return f'{total} EUR'",
    "flow.run()\nprint(flow['label'], calls)",
]


def test_editing_and_rerunning_a_cell_replaces_the_node():
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(c) for c in CELLS])
    client = nbclient.NotebookClient(notebook, timeout=60, kernel_name="python3")

    def output(index):
        return "".join(o.get("text", "") for o in notebook.cells[index].outputs).strip()

    with client.setup_kernel():
        for index in range(len(CELLS)):
            client.execute_cell(notebook.cells[index], index)
        assert output(3) == "20 EUR ['total', 'label']"
        notebook.cells[1].source = CELLS[1].replace("price * 2", "price * 3")
        client.execute_cell(notebook.cells[1], 1)
        client.execute_cell(notebook.cells[2], 2)  # re-run unchanged: nothing to redo
        client.execute_cell(notebook.cells[3], 3)
        assert output(3) == "30 EUR ['total', 'label', 'total', 'label']"


VIEW_CELLS = [
    "import movra\nflow = movra.Flow()\nflow.input('price', 10)\nflow.input('qty', 0)\n"
    "@flow.reactive\ndef unit(price, qty):\n    return price / qty\n"
    "@flow.view\ndef label(unit):\n    return f'{unit} EUR'",
    "try:\n    flow.run()\nexcept movra.FlowError as error:\n    report = error.report\nreport",
    "flow",
    "flow.explain('label')",
]


def test_the_views_of_a_notebook_work_offline_in_exported_html():
    nbconvert = pytest.importorskip("nbconvert")
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(c) for c in VIEW_CELLS])
    nbclient.NotebookClient(notebook, timeout=60, kernel_name="python3").execute()
    report, flow, explanation = (notebook.cells[k].outputs[0]["data"] for k in (1, 2, 3))
    assert "<table" in report["text/html"] and "ZeroDivisionError: division by zero" in report["text/html"]
    assert report["text/plain"].startswith("run of ")  # readable, not the dataclass's repr
    assert flow["text/html"].count("<svg") == 1 and "failed" in flow["image/svg+xml"]
    assert flow["text/vnd.mermaid"].startswith("flowchart LR")
    assert "<table" in explanation["text/html"]
    page, _ = nbconvert.HTMLExporter().from_notebook_node(notebook)
    cells = page.split('class="jp-Cell ')
    assert "<svg" in cells[3] and "<table" in cells[2]
    # Nothing that needs the network to draw the flow: no script, no remote image.
    drawing = cells[3][cells[3].index("<svg"):cells[3].index("</svg>")]
    assert "<script" not in drawing and "http" not in drawing.replace("http://www.w3.org/2000/svg", "")
