"""Every method, on success and on each error path, returns what it takes:
no reference to its arguments is kept, no Python object or C++ memory leaks."""
import gc
import os
import sys
import tracemalloc

import pytest

import movra
from conftest import make_graph


def fresh(text):
    """An uninterned str equal to `text`, so its reference count is ours alone."""
    return "".join([text[:1], text[1:]])


# Under AddressSanitizer freed memory sits in quarantine, so resident memory
# grows anyway; LeakSanitizer checks the C++ side in that run instead.
SANITIZED = bool(os.environ.get("MOVRA_SANITIZED"))


# sys.getallocatedblocks() counts the blocks of the interpreter's own small-
# object allocator, so it is always 0 under PYTHONMALLOC=malloc (the sanitizer
# run); there the Python memory still held is measured with tracemalloc,
# which sees every allocator.
TRACE_PYTHON_MEMORY = sys.getallocatedblocks() == 0


class PythonMemory:
    """Python memory still allocated: blocks where the interpreter counts
    them, else bytes traced by tracemalloc.  The limit is about 200 blocks."""

    limit = 200 * 64 if TRACE_PYTHON_MEMORY else 200

    def __enter__(self):
        if TRACE_PYTHON_MEMORY:
            tracemalloc.start()
        return self

    def __exit__(self, *exc):
        if TRACE_PYTHON_MEMORY:
            tracemalloc.stop()

    @staticmethod
    def now():
        return tracemalloc.get_traced_memory()[0] if TRACE_PYTHON_MEMORY else sys.getallocatedblocks()


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


class Seq:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def graph():
    g = make_graph(("i", "input"), "r", ("v", "view"), deps={"r": ["i"], "v": ["r"]}, build=True)
    return g


def calls(a, b, big):
    """(name, call) pairs covering success, binding, conversion, access and
    kernel errors; `a` and `b` are uninterned ids, `big` a large int."""
    return [
        ("add_node dup", lambda g: g.add_node(a, "input")),
        ("add_node kind", lambda g: g.add_node(b, fresh("bad"))),
        ("set_deps ok", lambda g: g.set_deps(fresh("r"), [a, fresh("i")])),
        ("set_deps seq", lambda g: g.set_deps(fresh("r"), Seq([a]))),
        ("set_deps unknown", lambda g: g.set_deps(fresh("r"), [a, b])),
        ("set_deps self", lambda g: g.set_deps(a, [a])),
        ("set_deps str", lambda g: g.set_deps(a, b)),
        ("set_deps item", lambda g: g.set_deps(a, [a, 1])),
        ("set_deps set", lambda g: g.set_deps(a, {a})),
        ("build", lambda g: g.build()),
        ("topo_order", lambda g: g.topo_order()),
        ("dirty_subgraph", lambda g: g.dirty_subgraph([a, fresh("i")])),
        ("dirty_subgraph unknown", lambda g: g.dirty_subgraph((a, b))),
        ("mark_dirty", lambda g: g.mark_dirty([fresh("i"), a])),
        ("mark_dirty unknown", lambda g: g.mark_dirty([b])),
        ("downstream", lambda g: g.downstream(fresh("i"))),
        ("downstream unknown", lambda g: g.downstream(b)),
        ("needs_recompute", lambda g: g.needs_recompute(a, big)),
        ("needs_recompute overflow", lambda g: g.needs_recompute(a, -big)),
        ("check_node", lambda g: g.check_node(fresh("v"))),
        ("check_node unknown", lambda g: g.check_node(b)),
        ("commit_node", lambda g: g.commit_node(a, big)),
        ("skip_node", lambda g: g.skip_node(a, big)),
        ("commit_input", lambda g: g.commit_input(fresh("i"), big)),
        ("set_clean float", lambda g: g.set_clean(a, 1.5)),
        ("set_computing", lambda g: g.set_computing(a)),
        ("set_dirty unknown", lambda g: g.set_dirty(b)),
        ("state_of", lambda g: g.state_of(a)),
        ("kind_of", lambda g: g.kind_of(a)),
        ("deps_of", lambda g: g.deps_of(fresh("r"))),
        ("kind_of int", lambda g: g.kind_of(big)),
        ("dirty_nodes", lambda g: g.dirty_nodes()),
        ("views", lambda g: g.views()),
        ("node_ids", lambda g: g.node_ids()),
        ("binding", lambda g: g.add_node(a, kind=b, id=a)),
        ("contains", lambda g: a in g),
        ("len repr", lambda g: (len(g), repr(g))),
        ("new graph", lambda g: movra.Graph()),
    ]


NAMES = [name for name, _ in calls("x", "y", 0)]


@pytest.mark.parametrize("name", NAMES)
def test_no_reference_or_memory_is_kept(name):
    a, b, big = fresh("a:node"), fresh("b:missing"), 2**63 + 12345
    g = graph()
    g.add_node(a, "reactive")
    g.build()
    call = dict(calls(a, b, big))[name]

    def run(times):
        for _ in range(times):
            try:
                call(g)
            except (KeyError, ValueError, TypeError, OverflowError, RuntimeError):
                pass

    with PythonMemory() as memory:
        run(2000)  # warm caches and free lists
        gc.collect()
        refs = [sys.getrefcount(x) for x in (a, b, big, g)]
        held, rss = memory.now(), rss_bytes()
        run(50_000)
        gc.collect()
        assert [sys.getrefcount(x) for x in (a, b, big, g)] == refs
        assert memory.now() - held < memory.limit
    assert SANITIZED or rss_bytes() - rss < 4 * 1024 * 1024


@pytest.mark.skipif(SANITIZED, reason="resident memory is not freed under AddressSanitizer")
def test_graphs_release_their_memory():
    ids = [f"node_{i:06d}" for i in range(20_000)]

    def cycle():
        g = movra.Graph()
        for i, node in enumerate(ids):
            g.add_node(node, "reactive")
            if i:
                g.set_deps(node, [ids[i - 1], ids[i // 2]])
        g.build()
        g.mark_dirty(ids[:1])

    cycle()
    rss = rss_bytes()
    for _ in range(15):
        cycle()
    assert rss_bytes() - rss < 8 * 1024 * 1024


def test_errors_leave_no_cycle_through_the_graph():
    # A kernel error raised inside a method must not keep the graph alive.
    import weakref

    class Holder:
        pass

    g = make_graph("a")
    holder = Holder()
    holder.g = g
    ref = weakref.ref(holder)
    try:
        g.kind_of("missing")
    except KeyError:
        pass
    del holder, g
    gc.collect()
    assert ref() is None


def test_kind_and_state_names_are_not_leaked():
    g = make_graph(("a", "input"))
    kind, state = g.kind_of("a"), g.state_of("a")
    before = sys.getrefcount(kind), sys.getrefcount(state)
    for _ in range(10_000):
        g.check_node("a")
        g.kind_of("a")
        g.state_of("a")
    assert (sys.getrefcount(kind), sys.getrefcount(state)) == before
