"""How many calls the backend answered, and how many it handed to NetworkX.

With VORLAN_NX_CALL_LOG set to a folder, each process writes its counts there
as calls-<pid>.json when it exits, so that a test run of NetworkX's own suite
can say how much of it went through the GPU.
"""

import atexit
import collections
import functools
import json
import os

_ran = collections.Counter()
_declined = collections.Counter()


def call_counts():
    """{"ran": {function: calls}, "declined": {function: calls}} so far in this process."""
    return {"ran": dict(_ran), "declined": dict(_declined)}


def count_decline(name):
    _declined[name] += 1


def counted(function):
    """Counts each call of a backed function (generators count when made)."""

    @functools.wraps(function)
    def call(*args, **kwargs):
        _ran[function.__name__] += 1
        return function(*args, **kwargs)

    return call


def _write_log(folder):
    path = os.path.join(folder, f"calls-{os.getpid()}.json")
    with open(path, "w", encoding="utf-8") as out:
        json.dump(call_counts(), out)


if _log_folder := os.environ.get("VORLAN_NX_CALL_LOG"):
    atexit.register(_write_log, _log_folder)
