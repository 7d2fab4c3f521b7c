"""Facts about a graph that cost a pass over it, kept with the graph.

On a converted graph (VorlanGraph) they live as long as the conversion, which
NetworkX's own cache rules govern. On a NetworkX graph they go into its
`__networkx_cache__`, which NetworkX empties whenever the graph is changed
through its methods; only structural facts may be kept there (an attribute
can change without the cache hearing of it), and only while
`nx.config.cache_converted_graphs` lets NetworkX keep anything derived from a
graph at all.
"""

import networkx as nx

_CACHE_KEY = "vorlan"


def cached(G, key, compute):
    cache = getattr(G, "__networkx_cache__", None)
    if cache is None or not nx.config.cache_converted_graphs:
        return compute(G)
    facts = cache.setdefault(_CACHE_KEY, {})
    if key not in facts:
        facts[key] = compute(G)
    return facts[key]
