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
