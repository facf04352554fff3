"""Raw deflate streams for the parts of a workbook archive.

ISA-L's deflate is several times faster than zlib's at the levels that suit
sheet XML, and its `isal_zlib` module has zlib's interface, so it is used
whenever it is importable and zlib otherwise, unless a workbook's options
(`brindle.Options.deflate_backend`) name one. Both produce and read standard
deflate streams: a file written with one reads back with the other, and with
any zip reader.
"""

import zlib

try:
    from isal import isal_zlib as _isal
except ImportError:  # pragma: no cover - depends on the environment
    _isal = None

# Sheet XML is very repetitive: zlib's level 3 makes files about a tenth
# larger than its default level 6 and compresses more than twice as fast,
# which matters when rows stream in by the million. ISA-L's level 2 gives
# files a few per cent larger than that at five to six times the speed.
_LEVELS = {"isal": 2, "zlib": 3}

_ERRORS = (zlib.error,) + ((_isal.error,) if _isal is not None else ())


class DeflateError(ValueError):
    """A deflate stream is corrupt or truncated (whichever library read it)."""


def available():
    """The names of the usable deflate libraries, fastest first."""
    return ("isal", "zlib") if _isal is not None else ("zlib",)


_FASTEST = available()[0]


def _module(backend):
    if backend is None:
        backend = _FASTEST
    elif backend not in available():
        raise ValueError(f"deflate library {backend!r} is not available")
    return _isal if backend == "isal" else zlib


def compressor(level=None, backend=None):
    """A compressor of raw deflate data (no zlib header), by the library
    `backend` ("isal" or "zlib"; None: the fastest available)."""
    module = _module(backend)
    if level is None:
        level = _LEVELS["isal" if module is _isal else "zlib"]
    return module.compressobj(level, zlib.DEFLATED, -15)


class Decompressor:
    """A raw deflate decompressor whose errors are `DeflateError`, so that a
    corrupt part reads the same with either library."""

    __slots__ = ("_d",)

    def __init__(self, backend=None):
        self._d = _module(backend).decompressobj(-15)

    def decompress(self, data, max_length=0):
        try:
            return self._d.decompress(data, max_length)
        except _ERRORS as exc:
            raise DeflateError(f"corrupt deflate data ({exc})") from exc

    def flush(self):
        try:
            return self._d.flush()
        except _ERRORS as exc:
            raise DeflateError(f"corrupt deflate data ({exc})") from exc

    @property
    def eof(self):
        return self._d.eof

    @property
    def unconsumed_tail(self):
        return self._d.unconsumed_tail

    @property
    def unused_data(self):
        return self._d.unused_data


def crc32(data, value=0, backend=None):
    # ISA-L's CRC is vectorised; both give the same checksum.
    if (backend or _FASTEST) == "isal":
        return _isal.crc32(data, value)
    return zlib.crc32(data, value)


# CRC-32 of joined pieces from the CRCs of the pieces: the CRC is linear over
# GF(2), so appending n bytes multiplies the first CRC by x^(8n) modulo the
# CRC polynomial (reflected bit order), and the second CRC is added.
_POLY = 0xEDB88320


def _multmodp(a, b):
    """a * b modulo the CRC polynomial."""
    m = 1 << 31
    p = 0
    while True:
        if a & m:
            p ^= b
            if not a & (m - 1):
                return p
        m >>= 1
        b = (b >> 1) ^ _POLY if b & 1 else b >> 1


def _powers():
    table = [1 << 30]  # x^1
    for _ in range(31):
        table.append(_multmodp(table[-1], table[-1]))
    return table


_X2N = _powers()  # x^(2^k) for k = 0..31


def _x8nmodp(n):
    """x^(8n) modulo the CRC polynomial."""
    p = 1 << 31  # x^0
    k = 3
    while n:
        if n & 1:
            p = _multmodp(_X2N[k & 31], p)
        n >>= 1
        k += 1
    return p


def crc32_combine(crc1, crc2, len2):
    """The CRC-32 of A + B from crc1 = crc32(A), crc2 = crc32(B), len2 = len(B)."""
    if len2 <= 0:
        return crc1
    return _multmodp(_x8nmodp(len2), crc1) ^ crc2
