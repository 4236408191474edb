"""A flow with a store: values are reused across runs and processes."""
import subprocess
import sys
import textwrap
import time

import pytest

import movra
from movra import Flow

FLOW = textwrap.dedent("""
    import sys, time, movra
    calls = []
    flow = movra.Flow(store=sys.argv[1])
    flow.input("x", int(sys.argv[2]))

    @flow.reactive
    def square(x):
        calls.append("square")
        time.sleep(0.002)  # costlier than a load, so stored
        return x * x

    @flow.view
    def label(square):
        calls.append("label")
        time.sleep(0.002)
        return f"{square}!"

    report = flow.run()
    print(flow["label"], calls, report.loaded)
""")


@pytest.fixture
def store_path(tmp_path):
    tmp_path.chmod(0o700)
    return str(tmp_path / "cache.db")


def run_child(path, x):
    result = subprocess.run([sys.executable, "-c", FLOW, path, str(x)], capture_output=True, text=True, check=True)
    return result.stdout.strip()


def test_a_new_process_starts_warm(store_path):
    assert run_child(store_path, 3) == "9! ['square', 'label'] []"
    assert run_child(store_path, 3) == "9! [] ['square', 'label']"
    assert run_child(store_path, 4) == "16! ['square', 'label'] []"


def test_earlier_values_are_loaded_not_recomputed(store_path):
    flow, calls = Flow(store=store_path), []
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="double")(
        lambda x: calls.append(x) or time.sleep(0.002) or 2 * x)
    for value in (1, 2, 1, 2, 1):
        flow.set(x=value)
        flow.run()
    assert calls == [1, 2] and flow["double"] == 2
    flow.set(x=2)
    why = flow.explain("double")
    assert why.from_store and "; the next run loads its value from the store instead of calling it" in str(why)
    assert flow.run().loaded == ["double"]


def test_a_code_edit_is_not_served_from_the_store(store_path):
    first = Flow(store=store_path)
    first.input("x", 2)
    first.reactive(deps=["x"], name="f")(lambda x: x + 1)
    first.run()
    second = Flow(store=store_path)
    second.input("x", 2)
    second.reactive(deps=["x"], name="f")(lambda x: x + 100)
    report = second.run()
    assert report.recomputed == ["f"] and second["f"] == 102


def test_sources_and_unhashed_dependencies_bypass_the_store(store_path):
    flow, readings = Flow(store=store_path), [1, 1]
    flow.source(name="reading")(lambda: readings.pop())
    flow.reactive(deps=["reading"], name="handle", hashed=False)(lambda r: object())
    flow.reactive(deps=["handle"], name="uses")(lambda h: 1)
    flow.run()
    again = Flow(store=store_path)
    again.source(name="reading")(lambda: readings.pop())
    again.reactive(deps=["reading"], name="handle", hashed=False)(lambda r: object())
    again.reactive(deps=["handle"], name="uses")(lambda h: 1)
    assert again.run().loaded == [] and readings == []


def test_a_damaged_store_warns_and_recomputes(store_path):
    flow = Flow(store=store_path)
    flow.input("x", 2)
    flow.reactive(deps=["x"], name="f")(lambda x: x * 5)
    flow.run()
    with open(store_path, "r+b") as file:
        file.write(b"garbage" * 100)
    with pytest.warns(movra.StoreWarning, match="damaged"):
        again = Flow(store=store_path)
    again.input("x", 2)
    again.reactive(deps=["x"], name="f")(lambda x: x * 5)
    report = again.run()
    assert report.recomputed == ["f"] and again["f"] == 10


def test_values_cheaper_to_compute_than_to_load_are_not_stored(store_path):
    def declare(flow):
        flow.input("x", 3)
        flow.reactive(deps=["x"], name="cheap")(lambda x: x + 1)
        flow.reactive(deps=["cheap"], name="costly")(lambda c: time.sleep(0.005) or c * 2)
        flow.reactive(deps=["x"], name="kept", version="1")(lambda x: -x)
        return flow

    # A call of less than 2 ms is deemed cheaper than a load (the default is an
    # estimate of a load, some microseconds, which a busy machine's first calls exceed).
    declare(Flow(store=movra.store.SQLiteStore(store_path, min_seconds=0.002))).run()
    warm = declare(Flow(store=store_path))
    report = warm.run()
    assert report.loaded == ["costly"] and sorted(report.recomputed) == ["cheap", "kept"]
    with movra.store.SQLiteStore(store_path) as store:
        [entry] = store.entries()
    assert entry.node == "costly" and entry.seconds >= 0.005 and entry.version
    everything = movra.store.open_store(store_path, min_seconds=0)
    declare(Flow(store=everything)).run()
    assert sorted(declare(Flow(store=store_path)).run().loaded) == ["cheap", "costly", "kept"]


def test_a_store_with_the_plain_save_still_gets_every_value(tmp_path):
    class Plain:
        def __init__(self):
            self.saved = {}

        def lookup(self, key):
            return (key in self.saved, self.saved.get(key))

        def save(self, key, value):
            self.saved[key] = value

        def contains(self, key): return key in self.saved
        def info(self): ...
        def clear(self): ...
        def close(self): ...
        def __enter__(self): return self
        def __exit__(self, *exc): ...

    plain = Plain()
    flow = Flow(store=plain)
    flow.input("x", 2)
    flow.reactive(deps=["x"], name="f")(lambda x: x * 5)
    flow.run()
    assert list(plain.saved.values()) == [10]


KILLED_FLOW = textwrap.dedent("""
    import sys, time, movra
    flow = movra.Flow(store=sys.argv[1])
    flow.input("x", 1)
    for i in range(60):
        def step(x, i=i):
            time.sleep(0.03)
            if sys.argv[2] == "run":
                print(i, flush=True)  # finished: the value is returned and saved next
            return x + i
        flow.reactive(deps=["x"], name=f"n{i}")(step)
    report = flow.run()
    print(" ".join(report.loaded))
""")
LOSS_BOUND = movra._store_sqlite.FLUSH_SECONDS


def test_a_killed_run_loses_only_what_finished_in_its_last_tenth_of_a_second(store_path):
    """A run killed mid-way: every value that finished more than the bound (plus
    the scheduling slack of a busy machine) before the kill is loaded afterwards."""
    child = subprocess.Popen([sys.executable, "-c", KILLED_FLOW, store_path, "run"],
                             stdout=subprocess.PIPE, text=True)
    finished = {}
    started = None  # from the first value on: a slow start (a sanitizer build) takes no share
    while started is None or time.monotonic() - started < 0.8:
        line = child.stdout.readline()
        if not line:
            break
        finished[f"n{int(line)}"] = time.monotonic()
        started = started or time.monotonic()
    child.kill()
    killed = time.monotonic()
    child.wait()
    assert 10 < len(finished) < 60
    loaded = set(subprocess.run([sys.executable, "-c", KILLED_FLOW, store_path, "check"],
                                capture_output=True, text=True, check=True).stdout.split())
    lost = {name: round(killed - at, 3) for name, at in finished.items() if name not in loaded}
    assert all(age < LOSS_BOUND + 0.15 for age in lost.values()), lost
    assert loaded <= set(finished)
