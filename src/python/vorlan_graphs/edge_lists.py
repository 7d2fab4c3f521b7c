"""Edge-list files: one edge per line, checked line by line before any graph
is built, so that a malformed file is refused in one line naming the line
rather than deep inside NumPy."""

import gzip
import os
import re

import numpy as np

from vorlan_graphs.csr import Graph, from_edges


class EdgeListError(ValueError):
    """An edge-list file that cannot be read; the message is one line that
    names the file (and the line) and what is wrong."""


_INTEGER = re.compile(r"[+-]?[0-9]+")
_INT64_MAX = 2**63 - 1


def _edge_list_lines(path):
    """The file's text lines: gzip-compressed when the name ends in .gz,
    UTF-8 with or without a byte-order mark."""
    try:
        with (gzip.open if path.endswith(".gz") else open)(path, "rb") as source:
            raw = source.read()
    except IsADirectoryError:
        raise EdgeListError(f"{path}: is a directory, not an edge-list file") from None
    except FileNotFoundError:
        raise EdgeListError(f"{path}: no such file") from None
    except (OSError, EOFError) as error:
        raise EdgeListError(
            f"{path}: cannot be read ({getattr(error, 'strerror', None) or error})"
        ) from None
    try:
        return raw.decode("utf-8-sig").splitlines()
    except UnicodeDecodeError as error:
        raise EdgeListError(f"{path}: not UTF-8 text (byte {error.start})") from None


def _edge_label(path, number, token):
    if not _INTEGER.fullmatch(token):
        raise EdgeListError(f"{path}:{number}: {token!r} is not an integer node label")
    value = int(token)
    if not -_INT64_MAX - 1 <= value <= _INT64_MAX:
        raise EdgeListError(f"{path}:{number}: node label {token} does not fit in 64 bits")
    return value


def read_edge_pairs(path: str) -> np.ndarray:
    """The (label, label) pairs of an edge-list file, one int64 row per edge.

    One edge per line: two integer node labels separated by whitespace; every
    line holds the same number of columns, and those after the second (such
    as weights) are ignored. Lines starting with '#' or '%' are comments; a
    name ending in .gz is read through gzip. Anything else raises
    EdgeListError.
    """
    labels, columns, first = [], None, None
    for number, line in enumerate(_edge_list_lines(path), start=1):
        tokens = line.split()
        if not tokens or tokens[0][0] in "#%":
            continue
        if len(tokens) < 2:
            raise EdgeListError(f"{path}:{number}: one column; an edge needs two node labels")
        if columns is None:
            columns, first = len(tokens), number
        elif len(tokens) != columns:
            raise EdgeListError(
                f"{path}:{number}: {len(tokens)} columns, but line {first} has {columns}"
            )
        labels.append(_edge_label(path, number, tokens[0]))
        labels.append(_edge_label(path, number, tokens[1]))
    if not labels:
        raise EdgeListError(f"{path}: no edges (only comments or blank lines)")
    return np.array(labels, dtype=np.int64).reshape(-1, 2)


def edge_list(path: str) -> Graph:
    """An undirected graph from an edge-list file (see read_edge_pairs).
    Node labels may be any 64-bit integers; they are renumbered 0..n-1 in
    ascending order, and the graph's `labels` maps them back."""
    pairs = read_edge_pairs(path)
    ids, renumbered = np.unique(pairs.ravel(), return_inverse=True)
    renumbered = renumbered.reshape(-1, 2)
    name = os.path.basename(path)
    return from_edges(f"file:{name}", name, len(ids), renumbered[:, 0], renumbered[:, 1], ids)


def edge_list_from_pairs(pairs, num_nodes: int | None = None) -> Graph:
    """An undirected graph on nodes 0..num_nodes-1 (default: the largest id
    plus one) from (u, v) pairs."""
    pairs = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
    if num_nodes is None:
        num_nodes = int(pairs.max()) + 1 if len(pairs) else 0
    return from_edges("pairs", f"{len(pairs)} pairs", num_nodes, pairs[:, 0], pairs[:, 1])
