"""GenICam PFNC pixel-format designations: parse, format and decode."""

__version__ = "0.1.0"
