"""Decoder registry for GenICam PFNC pixel formats."""

import dataclasses
import logging
from abc import abstractmethod
from typing import Any, ClassVar

import numpy

from korvell.pfnc.exceptions import (
    PixelFormatDecodeNotSupportedError as PixelFormatDecodeNotSupportedError
)
from korvell.pfnc.pixel_format import PixelFormat


logger: logging.Logger = ...

class PixelFormatDecoder:
    """
    Interface of a decoder back-end for GenICam pixel formats.

    A back-end derives from this class and implements ``is_applicable``,
    ``decode`` and ``get_buffer_size``; ``visualization_image`` has a default.
    The one field, ``name``, names the decoder in log messages.
    """

    def __init__(self, name: str) -> None: ...

    @property
    def name(self) -> str:
        """Name of the decoder, used in log messages."""

    @name.setter
    def name(self, value: str, /) -> None: ...

    def __eq__(self, other: object) -> bool: ...

    def __repr__(self) -> str: ...

    @abstractmethod
    def is_applicable(self, pixel_format: PixelFormat) -> bool:
        """True if this decoder can handle ``pixel_format``."""

    @abstractmethod
    def decode(
        self,
        pixel_format: PixelFormat,
        buffer: bytes | bytearray | memoryview,
        *,
        width: int,
        height: int,
        stride: int | None = None,
        copy: bool = False,
    ) -> numpy.ndarray:
        """Decode the raw bytes of one frame into an image array."""

    @abstractmethod
    def get_buffer_size(
        self, pixel_format: PixelFormat, *, width: int, height: int, stride: int | None = None
    ) -> int:
        """The buffer size in bytes that a frame of these dimensions needs."""

    def visualization_image(self, pixel_format: PixelFormat, image: numpy.ndarray, **kwargs: Any) -> numpy.ndarray:
        """
        The image to show for ``image``: by default the very same image object when
        this decoder handles ``pixel_format``; otherwise PixelFormatDecodeNotSupportedError.
        Further named options are accepted and ignored.
        """

    def __getstate__(self) -> tuple[tuple[str], dict[str, object] | None]: ...

    def __setstate__(self, state: tuple[tuple[str], dict[str, object] | None], /) -> None: ...

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]

    __abstractmethods__: ClassVar[frozenset[str]]

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]]

    __match_args__: ClassVar[tuple[str]] = ('name',)

class DecoderRegistration:
    """Single decoder registration entry."""

    def __init__(self, decoder: PixelFormatDecoder, priority: int) -> None: ...

    @property
    def decoder(self) -> PixelFormatDecoder:
        """The registered back-end."""

    @property
    def priority(self) -> int:
        """The higher, the more priority."""

    def __eq__(self, other: object) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    def __setattr__(self, name: str, value: object) -> None: ...

    def __delattr__(self, name: str) -> None: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]]

    __match_args__: ClassVar[tuple[str, str]] = ('decoder', 'priority')
    def __getstate__(self) -> tuple[tuple[PixelFormatDecoder, int], dict[str, object] | None]: ...

    def __setstate__(self, state: tuple[tuple[PixelFormatDecoder, int], dict[str, object] | None], /) -> None: ...


class DecoderRegistrySnapshot:
    """Snapshot of registry state for test isolation."""

    def __init__(self, registrations: tuple[DecoderRegistration, ...]) -> None: ...

    @property
    def registrations(self) -> tuple[DecoderRegistration, ...]:
        """Every registration of the registry, in registration order."""

    def __eq__(self, other: object) -> bool: ...

    def __hash__(self) -> int: ...

    def __repr__(self) -> str: ...

    def __setattr__(self, name: str, value: object) -> None: ...

    def __delattr__(self, name: str) -> None: ...

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]]

    __match_args__: ClassVar[tuple[str]] = ('registrations',)
    def __getstate__(self) -> tuple[tuple[tuple[DecoderRegistration, ...]], dict[str, object] | None]: ...

    def __setstate__(self, state: tuple[tuple[tuple[DecoderRegistration, ...]], dict[str, object] | None], /) -> None: ...


class DecoderRegistry:
    """Registry that resolves a decoder for a given GenICam pixel format."""

    def __init__(
        self,
        _registrations: list[DecoderRegistration] = ...,
        _resolve_cache: dict[str, list[tuple[PixelFormat, PixelFormatDecoder | None]]] = ...,
    ) -> None: ...

    @property
    def _registrations(self) -> list[DecoderRegistration]:
        """Every registration, in the order of the register calls."""

    @_registrations.setter
    def _registrations(self, value: list[DecoderRegistration], /) -> None: ...

    @property
    def _resolve_cache(self) -> dict[str, list[tuple[PixelFormat, PixelFormatDecoder | None]]]:
        """Earlier outcomes by designation: (pixel format, decoder or None) pairs."""

    @_resolve_cache.setter
    def _resolve_cache(self, value: dict[str, list[tuple[PixelFormat, PixelFormatDecoder | None]]], /) -> None: ...

    def register(self, priority: int, decoder: PixelFormatDecoder) -> None:
        """
        Register ``decoder`` with ``priority`` (the higher, the more priority) and forget
        every earlier resolution.
        """

    def snapshot(self) -> DecoderRegistrySnapshot:
        """The current registrations, in order, as an immutable snapshot."""

    def restore(self, snap: DecoderRegistrySnapshot) -> None:
        """
        Replace the registrations with those of ``snap`` (in place) and forget every
        earlier resolution.
        """

    def resolve(self, pixel_format: PixelFormat) -> PixelFormatDecoder:
        """
        The applicable decoder with the highest priority (the earliest registered among
        equals), remembered per pixel format until the registrations change.
        Raises PixelFormatDecodeNotSupportedError when no decoder applies.
        """

    def decode(
        self,
        pixel_format: PixelFormat,
        buffer: bytes | bytearray | memoryview,
        *,
        width: int,
        height: int,
        stride: int | None = None,
        copy: bool = False,
    ) -> numpy.ndarray:
        """Decode ``buffer`` with the decoder resolved for ``pixel_format``."""

    def get_buffer_size(
        self, pixel_format: PixelFormat, *, width: int, height: int, stride: int | None = None
    ) -> int:
        """
        The buffer size in bytes, from the decoder resolved for ``pixel_format``.
        """

    def visualization_image(self, pixel_format: PixelFormat, image: numpy.ndarray, **kwargs: Any) -> numpy.ndarray:
        """
        The visualisation of ``image`` by the decoder resolved for ``pixel_format``.
        """

    def __eq__(self, other: object) -> bool: ...

    def __repr__(self) -> str: ...

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]]

    __match_args__: ClassVar[tuple[str, str]] = ('_registrations', '_resolve_cache')
    def __getstate__(self) -> tuple[tuple[list[DecoderRegistration], dict[str, list[tuple[PixelFormat, PixelFormatDecoder | None]]]], dict[str, object] | None]: ...

    def __setstate__(self, state: tuple[tuple[list[DecoderRegistration], dict[str, list[tuple[PixelFormat, PixelFormatDecoder | None]]]], dict[str, object] | None], /) -> None: ...

