"""NetworkX's own tests that the backend knowingly does not pass.

NETWORKX_TEST_BACKEND=vorlan hands this list to on_start_tests; each entry
names a test (its node id from the networkx package down) and why it fails
through the backend. A test only needs to be here when the backend accepts
the call and still answers differently from NetworkX.
"""

import pytest

KNOWN_FAILURES = {}


def mark_known_failures(items):
    for item in items:
        node_id = item.nodeid
        for name, reason in KNOWN_FAILURES.items():
            if node_id.endswith(name):
                item.add_marker(pytest.mark.xfail(reason=reason, strict=True))
