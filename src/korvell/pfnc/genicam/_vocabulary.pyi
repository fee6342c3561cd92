"""Change detection for the state a reading of a name depends on."""

from typing import Any

class StateWatch:
    """Whether watched namespaces, classes and registries are unchanged since recorded."""

    def __init__(self) -> None: ...
    def record(
        self,
        dicts: list[dict[Any, Any]],
        classes: list[type],
        families: list[type],
        registries: list[Any],
        registry_base: type,
    ) -> bool:
        """Record the present state; False (nothing recorded) when a registry holds no plain dict."""

    def unchanged(self) -> bool:
        """Whether nothing recorded has changed since ``record``."""

    def forget(self) -> None:
        """Drop the record: ``unchanged`` is False until the next ``record``."""

def same_entries(current: dict[Any, Any] | type, captured: dict[Any, Any]) -> bool:
    """
    Whether ``current`` (a dict, or a class for its own dict) holds exactly the
    keys of ``captured``, each bound to the very same object.
    """
