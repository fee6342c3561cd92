"""Suite-wide hooks.

Hypothesis puts a timing callback into ``gc.callbacks`` the first time it runs
a test and never takes it out.  The interpreter keeps that list until its
collector is torn down, after its last collection, and while the callback is
there pytest's session (every collected test with its parameters, compiled
objects among them) is never freed at exit: the leak-abort build
(``tools/check-sanitized leaks``) then reports those parameters as leaked
instances and aborts.  They are the test run's objects, not leaks of the
package, so the callback is taken out once the session is over; a real leak
(an instance no Python object refers to) is still reported.
"""

import gc

import pytest


@pytest.hookimpl(trylast=True)
def pytest_unconfigure(config):
    gc.callbacks[:] = [cb for cb in gc.callbacks if not getattr(cb, "__module__", "").startswith("hypothesis.")]
