"""
The decoding engine: programs that turn fixed groups of packed bytes into
output values and back, run over byte spans without the interpreter lock.
"""

from typing import Any, Union, final

import numpy as np
from typing_extensions import Buffer

# numpy arrays carry the buffer protocol, which their typing does not declare on
# every Python version.
_Bytes = Union[Buffer, np.ndarray[Any, Any]]


@final
class Program:
    """
    How one group of ``group_bytes`` stream bytes turns into ``group_values``
    output values of ``out_bytes`` each: value ``dst`` is the OR of
    ``bits(src_bit, width) << shift`` over its pieces, then sign-extended
    from bit ``sign_bits[dst] - 1`` where that is not 0.  Immutable.

    A piece with a fifth field True is a copy: it repeats the src_bit, width
    and shift of a piece that is not, for one more value (a chroma sample
    that several pixels share).  Decoding reads it; encoding writes only
    the original, so the values a copy fills must agree (the caller checks).

    Bits are numbered from the lsb of byte 0 (``msb_first=False``: the group is
    one little-endian integer) or from the msb of byte 0 (``msb_first=True``:
    one big-endian integer).  Every field is checked at construction
    (ValueError naming the field; TypeError for a wrong type); no two pieces
    may share source bits, and every value needs at least one piece.
    """

    def __init__(self, group_bytes: int, group_values: int, pieces: list[tuple[int, int, int, int] | tuple[int, int, int, int, bool]], msb_first: bool, out_bytes: int, sign_bits: list[int]) -> None: ...

    @property
    def group_bytes(self) -> int:
        """Bytes of one group of the stream."""

    @property
    def group_values(self) -> int:
        """Values one group yields."""

    @property
    def pieces(self) -> tuple[tuple[int, int, int, int] | tuple[int, int, int, int, bool], ...]:
        """The (src_bit, width, dst, shift) pieces, as given; a copy with True after them."""

    @property
    def msb_first(self) -> bool:
        """Whether bit 0 of a group is the msb of its byte 0 (else the lsb)."""

    @property
    def out_bytes(self) -> int:
        """Bytes of one output value: 1, 2, 4 or 8."""

    @property
    def sign_bits(self) -> tuple[int, ...]:
        """Per value: the bits to sign-extend from, or 0."""

    @property
    def kernel(self) -> str:
        """
        The loop chosen for whole groups: "copy", "byteswap", "word" or "generic".
        """

    @property
    def _vectorized(self) -> bool:
        """Whether whole periods of contiguous values go through the vector kernel."""

    def byte_count(self, count: int) -> int:
        """Bytes that ``count`` consecutive values occupy from the start of a run."""

    def __repr__(self) -> str: ...

    def __reduce__(self) -> tuple[type[Program], tuple[object, ...]]: ...

def _vectorize(enabled: bool) -> bool:
    """
    Whether programs made from now on may use the vector kernel; returns the previous
    setting (for tests of the scalar kernels).
    """

def decode(program: Program, src: _Bytes, dst: _Bytes, *, count: int, runs: int = 1, src_offset: int = 0, src_stride: int = 0, dst_offset: int = 0, dst_step: int = 1, dst_line: int = 0) -> None:
    """
    Decodes ``runs`` runs of ``src`` (any C-contiguous buffer, read as bytes)
    into ``dst`` (a writable C-contiguous array of out_bytes items).

    Run y holds ``count`` values, from stream byte ``src_offset + y * src_stride``;
    value i of run y is element ``dst_offset + y * dst_line + i * dst_step`` of the
    values array.  Every byte and element is checked before anything is touched;
    the loops run without the interpreter lock.
    """

def decode_semiplanar(luma: Program, chroma: Program, src: _Bytes, dst: _Bytes, *, width: int, height: int, down: int = 1, luma_offset: int = 0, luma_stride: int, chroma_offset: int, chroma_stride: int) -> None:
    """
    Decodes a frame of a luma plane and a plane of chroma lines into ``dst``, ``height``
    lines of ``3 * width`` values.  Line y is what ``decode`` gives for chroma line
    ``y // down`` (``3 * width`` values, from byte ``chroma_offset + y // down *
    chroma_stride``) with every third value, from the first, replaced by the
    ``width`` values of luma line y (from byte ``luma_offset + y * luma_stride``).
    Every byte and element is checked before anything is touched; the loops run
    without the interpreter lock.
    """

def encode(program: Program, src: _Bytes, dst: _Bytes, *, count: int, runs: int = 1, src_offset: int = 0, src_stride: int = 0, dst_offset: int = 0, dst_step: int = 1, dst_line: int = 0) -> None:
    """
    Encodes values of ``src`` (a C-contiguous array of out_bytes items) into
    ``dst`` (a writable buffer of bytes that the caller zero-filled).  Each value
    gives its pieces ``(v >> shift) & (2**width - 1)``; its other bits are ignored,
    and so are the values of copied pieces.
    The bytes of a run's first group and of its partial last group are OR-ed, so
    runs that share a byte keep each other's bits (as do runs of one call whose
    bytes overlap, which are OR-ed throughout); the run's other whole groups may
    be written whole, their padding bits as 0.  Bytes outside the runs are never
    written.

    Run y holds ``count`` values, from stream byte ``src_offset + y * src_stride``;
    value i of run y is element ``dst_offset + y * dst_line + i * dst_step`` of the
    values array.  Every byte and element is checked before anything is touched;
    the loops run without the interpreter lock.
    """
