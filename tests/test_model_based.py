"""Random operation sequences run against movra.Graph and a pure-Python model;
every result, exception class and message must agree.

MOVRA_MODEL_EXAMPLES sets the number of sequences (a longer run is one
environment variable away)."""
import os

import hypothesis.strategies as st
from hypothesis import settings
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import movra
from model import KINDS, ModelGraph

IDS = ["a", "b", "c", "d", "e", "", "\0", '"q"', "tab\t", "e\u0301", "\U0001F600", "sp ace", "\u00e9"]
ids = st.sampled_from(IDS)
hashes = st.sampled_from([0, 1, 7, 2**63, 2**64 - 1]) | st.integers(0, 2**64 - 1)
bad_hashes = st.sampled_from([-1, 2**64, 1.5, "7", None])
kinds = st.sampled_from(KINDS + ("Input", "", "bogus"))
seq_types = st.sampled_from([list, tuple])


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - the class and args are compared
        return ("error", type(error), error.args)


class GraphComparison(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.real, self.model = movra.Graph(), ModelGraph()

    def both(self, method, *args):
        got = outcome(lambda: getattr(self.real, method)(*args))
        want = outcome(lambda: getattr(self.model, method)(*args))
        assert got == want, (method, args)

    @rule(node_id=ids, kind=kinds)
    def add_node(self, node_id, kind):
        self.both("add_node", node_id, kind)

    @rule(node_id=ids, deps=st.lists(ids, max_size=4), seq=seq_types)
    def set_deps(self, node_id, deps, seq):
        self.both("set_deps", node_id, seq(deps))

    @rule()
    def build(self):
        self.both("build")

    @rule(method=st.sampled_from(["topo_order", "views", "dirty_nodes", "node_ids"]))
    def listing(self, method):
        self.both(method)

    @rule(method=st.sampled_from(["dirty_subgraph", "mark_dirty"]), seeds=st.lists(ids, max_size=4))
    def propagate(self, method, seeds):
        self.both(method, seeds)

    @rule(method=st.sampled_from(["downstream", "kind_of", "state_of", "deps_of", "check_node",
                                  "set_dirty", "set_computing"]), node_id=ids)
    def by_id(self, method, node_id):
        self.both(method, node_id)

    @rule(method=st.sampled_from(["set_clean", "skip_node", "commit_node", "commit_input",
                                  "needs_recompute"]), node_id=ids, value=hashes)
    def with_hash(self, method, node_id, value):
        self.both(method, node_id, value)

    @rule(method=st.sampled_from(["set_clean", "commit_node", "needs_recompute"]), node_id=ids,
          value=bad_hashes)
    def with_bad_hash(self, method, node_id, value):
        error = outcome(lambda: getattr(self.real, method)(node_id, value))
        assert error[0] == "error" and error[1] in (OverflowError, TypeError)

    @rule(node_id=ids)
    def contains(self, node_id):
        assert (node_id in self.real) == (node_id in self.model)

    @invariant()
    def same_size_and_repr(self):
        assert len(self.real) == len(self.model) and repr(self.real) == repr(self.model)

    @invariant()
    def same_memo_view(self):
        for node_id in self.model.node_ids():
            assert self.real.check_node(node_id) == self.model.check_node(node_id)
            assert self.real.state_of(node_id) == self.model.state_of(node_id)


GraphComparison.TestCase.settings = settings(
    max_examples=int(os.environ.get("MOVRA_MODEL_EXAMPLES", "150")),
    stateful_step_count=40,
    deadline=None,
)
test_graph_matches_model = GraphComparison.TestCase
