"""Abstract-method placeholders for the compiled abstract bases.

Compiled functions carry no ``__dict__`` and so cannot be marked with
``abc.abstractmethod``; the compiled bases install these plain functions instead,
so that ``inspect.isabstract`` and ``abc.update_abstractmethods`` see them.
"""

from __future__ import annotations

import abc
from typing import Any, Callable


def placeholder(owner: type, name: str, kind: str = "method") -> Any:
    """Return an abstract placeholder for ``owner.name``.

    ``kind`` is "method", "staticmethod" or "classmethod".  Like the body of an
    abstract method written in Python, the placeholder does nothing and gives no
    value when it is reached (for example through ``super()``).
    """

    def method(*args: Any, **kwargs: Any) -> Any:
        return None

    method.__name__ = name
    method.__qualname__ = f"{owner.__name__}.{name}"
    method.__module__ = owner.__module__
    func: Callable[..., Any] = abc.abstractmethod(method)
    if kind == "staticmethod":
        return staticmethod(func)
    if kind == "classmethod":
        return classmethod(func)
    return func
