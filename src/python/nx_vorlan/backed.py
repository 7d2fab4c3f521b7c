"""The backed functions' implementations, found from the one list in info."""

import functools
import importlib
import inspect

from nx_vorlan.info import FUNCTIONS


@functools.cache
def implementation(name):
    """nx_vorlan.<module>.<name> for a backed function, with NetworkX's signature."""
    module = importlib.import_module(f"nx_vorlan.{FUNCTIONS[name]['module']}")
    return getattr(module, name)


@functools.cache
def signature(name):
    return inspect.signature(implementation(name))
