"""The parts of a GenICam PFNC designation, one module each."""

# Plane groups join the interface-specific implementations as soon as the
# package is imported, so the factory always finds them.
from . import planes as _planes  # noqa: F401
