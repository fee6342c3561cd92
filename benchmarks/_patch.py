"""A patch held while a benchmark row is timed (the forced-fallback rows)."""

import contextlib


@contextlib.contextmanager
def patched(owner, name, value):
    """``owner.name`` is ``value`` inside the block; a class gets back its own
    attribute as stored (a classmethod stays a classmethod)."""
    saved = vars(owner)[name] if isinstance(owner, type) else getattr(owner, name)
    setattr(owner, name, value)
    try:
        yield
    finally:
        setattr(owner, name, saved)
