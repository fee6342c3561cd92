"""Error types of korvell.pfnc.

Every error is built from exactly one message string and prints it unchanged.
"""

from __future__ import annotations

__all__ = [
    "PixelFormatError",
    "ParseReject",
    "PixelFormatValueReject",
    "DuplicateRegistrationError",
    "NotRegisteredError",
    "PixelFormatDecodeNotSupportedError",
]


class PixelFormatError(Exception):
    """Base of every error raised by this package."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class ParseReject(PixelFormatError):
    """A designation parser declined the text; factories log it and move on."""


class PixelFormatValueReject(PixelFormatError, ValueError):
    """A part was given an invalid value (for example a bit count of 0)."""


class DuplicateRegistrationError(PixelFormatError, ValueError):
    """A default registry name was registered again."""


class NotRegisteredError(PixelFormatError, LookupError):
    """A registry has no entry under the requested name."""


class PixelFormatDecodeNotSupportedError(PixelFormatError):
    """No decoder can handle the pixel format."""
