"""Channel bit sizes: the number-of-bits part of a PFNC pixel-format designation."""

from typing import ClassVar

from korvell.pfnc.exceptions import (
    PixelFormatValueReject as PixelFormatValueReject
)


class Size:
    """Bit count of each channel of a pixel format, in channel order."""

    def __init__(self, sizes: list[int]) -> None: ...

    def __post_init__(self) -> None:
        """
        Check that every entry is greater than 0; raise PixelFormatValueReject otherwise.
        """

    @property
    def sizes(self) -> list[int]:
        """Bit count of each channel."""

    @sizes.setter
    def sizes(self, value: list[int], /) -> None: ...

    def __len__(self) -> int: ...

    def __getitem__(self, item: int) -> int: ...

    def __eq__(self, other: object) -> bool: ...

    def __repr__(self) -> str: ...

    def designation(self) -> str:
        """
        The designation text: the count once when all channels share it, otherwise
        every count zero-padded to the width of the largest (5, 6, 5 gives "565").
        """

    @staticmethod
    def from_designation(designation: str, number_of_channels: int) -> tuple[Size, str] | None:
        """
        Parse the bit counts from the front of ``designation``.

        Returns (size, remaining text), or None when the text holds no counts.
        A digit run whose length divides by the channel count is read per channel
        ("565" with 3 channels gives 5, 6, 5); otherwise it is one count shared by
        every channel ("10" with 3 channels gives 10, 10, 10).
        """

    def __getstate__(self) -> tuple[list[int]]: ...

    def __setstate__(self, state: tuple[list[int]], /) -> None: ...

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]

    __match_args__: ClassVar[tuple[str]] = ('sizes',)
