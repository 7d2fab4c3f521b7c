"""The object NetworkX's dispatcher talks to (entry point networkx.backends)."""

import networkx as nx

from nx_vorlan.backed import implementation
from nx_vorlan.counting import count_decline, counted
from nx_vorlan.device import on_software_gpu
from nx_vorlan.graph import VorlanGraph, from_networkx, to_networkx
from nx_vorlan.info import BACKEND_NAME, FUNCTIONS
from nx_vorlan.rules import reason_to_decline


def _config():
    return nx.config.backends[BACKEND_NAME]


class BackendInterface:
    """NetworkX's backend protocol for vorlan_cuda."""

    # -- conversions --------------------------------------------------------

    @staticmethod
    def convert_from_nx(
        G,
        edge_attrs=None,
        node_attrs=None,
        preserve_edge_attrs=False,
        preserve_node_attrs=False,
        preserve_graph_attrs=False,
        preserve_all_attrs=False,
        name=None,
        graph_name=None,
    ):
        if isinstance(G, VorlanGraph):
            return G
        if not isinstance(G, nx.Graph):
            raise TypeError(
                f"the vorlan backend converts NetworkX graphs, not {type(G).__name__}"
                f" (argument {graph_name!r} of {name})"
            )
        return from_networkx(
            G,
            edge_data=bool(preserve_edge_attrs or preserve_all_attrs),
            node_data=bool(preserve_node_attrs or preserve_all_attrs),
            graph_data=bool(preserve_graph_attrs or preserve_all_attrs),
            weights=edge_attrs,
        )

    @staticmethod
    def convert_to_nx(obj, *, name=None):
        return to_networkx(obj) if isinstance(obj, VorlanGraph) else obj

    # -- dispatch decisions -------------------------------------------------

    @staticmethod
    def can_run(name, args, kwargs):
        reason = reason_to_decline(name, args, kwargs)
        if reason is None:
            return True
        count_decline(name)
        return reason

    @staticmethod
    def should_run(name, args, kwargs):
        """Automatic dispatch only: an explicit backend="vorlan" never asks."""
        config = _config()
        try:
            software = on_software_gpu()
        except RuntimeError as error:
            return f"no GPU to run on: {error}"
        if software and not config.auto_on_software_gpu:
            return "the software GPU interprets kernels on the CPU; NetworkX is faster"
        G = args[0] if args else kwargs.get("G")
        if len(G) < config.auto_min_nodes:
            return f"fewer than {config.auto_min_nodes} nodes: NetworkX is faster"
        return True

    @staticmethod
    def on_start_tests(items):
        # Only NetworkX's test run calls this; the hooks need pytest, which
        # an installed backend does not.
        from nx_vorlan.suite import mark_known_failures

        mark_known_failures(items)


# The backed functions, one attribute each, as info.FUNCTIONS lists them.
for _name in FUNCTIONS:
    setattr(BackendInterface, _name, staticmethod(counted(implementation(_name))))
