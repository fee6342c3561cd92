"""
Pictures to look at: Bayer mosaics to RGB and affine colour conversions,
run over numpy arrays without the interpreter lock.
"""

import numpy


def demosaic(src: numpy.ndarray, dst: numpy.ndarray, *, pattern: str, algorithm: str, bits: int) -> None:
    """
    Fills ``dst`` (height, width, 3) with the R, G, B of the Bayer mosaic ``src``
    (height, width) of ``bits``-bit samples, ``pattern`` naming its top-left 2x2
    cell row by row ('RG': R G / G B).  ``algorithm`` 'bilinear' averages the
    nearest samples of each colour; 'malvar' adds the gradient correction of
    Malvar, He and Cutler (5x5 kernels).  The frame is mirrored about its first
    and last lines and columns (-1 -> 1), which keeps the pattern.  A uint8
    ``dst`` for samples of other than 8 bits gets round(v * 255 / (2**bits - 1));
    otherwise the values keep their depth.  Samples above 2**bits - 1 count as
    2**bits - 1.  The loops run without the interpreter lock.
    """

def affine(src: numpy.ndarray, dst: numpy.ndarray, *, matrix: tuple[float, ...], offset: tuple[float, ...], bits: int) -> None:
    """
    Fills ``dst`` (height, width, 3) with round(matrix . (p - offset)) for each
    pixel p of ``src`` (height, width, 3) of ``bits``-bit samples, ``matrix``
    row-major, each result clamped to dst's item range (uint8 or uint16).
    Samples above 2**bits - 1 count as 2**bits - 1.  Integer arithmetic where
    it rounds to within 1/16 of an output step of the exact result, single
    precision otherwise.  The loop runs without the interpreter lock.
    """
