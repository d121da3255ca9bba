"""Pool shares checked against the job the pool issued.

A job fixes the mode, dims, key, target, the B-only nonce budget and the
connection's extranonce E; a share adds only how its matrices were made and
the cell it claims. So nothing a miner sends makes a check do more work than
the job implies.
"""

import ctypes
import enum
from dataclasses import dataclass
from typing import Optional, Tuple, Union

from . import _native

_U64 = 1 << 64
_U32 = 1 << 32
_INT32 = range(-(1 << 31), 1 << 31)

Hex32 = Union[str, bytes]


class BadJobError(ValueError):
    """The verifier cannot check shares of this job (the reason is the message)."""


class Reason(enum.IntEnum):
    """Why a share was refused; `stratum_code` and `text` give the pool's answer."""

    ACCEPTED = 0
    OUTSIDE_SPACE = 1  #: seeds not in the connection's space, or a bad nonce run
    NO_CELL = 2  #: the claimed cell is not one of the grid
    ABOVE_TARGET = 3  #: the cell's hash is above the target

    @property
    def stratum_code(self) -> int:
        """0 when accepted, else the stratum error code: 20 or 23."""
        return {0: 0, 3: 23}.get(int(self), 20)

    @property
    def text(self) -> str:
        """The pool's message, "" when accepted."""
        return _native.library().qv_share_reason_text(int(self)).decode()


def _bytes32(name: str, value: Hex32) -> bytes:
    if isinstance(value, str):
        if len(value) != 64:
            raise ValueError(f"{name} must be 64 hex digits, got {len(value)} characters")
        try:
            return bytes.fromhex(value)
        except ValueError:
            raise ValueError(f"{name} must be 64 hex digits") from None
    if isinstance(value, (bytes, bytearray)):
        if len(value) != 32:
            raise ValueError(f"{name} must be 32 bytes, got {len(value)}")
        return bytes(value)
    raise TypeError(f"{name} must be 64 hex digits or 32 bytes, not {type(value).__name__}")


def _integer(name: str, value, bound: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value < bound:
        raise ValueError(f"{name} must be in 0 .. {bound - 1}, got {value}")
    return value


def _words(value: bytes):
    # Byte 0 first, each 32-bit word little-endian: the record order.
    return (ctypes.c_uint32 * 8).from_buffer_copy(value)


def _bytes(words) -> bytes:
    return bytes(words)


@dataclass(frozen=True)
class Job:
    """A job as the pool issued it to one connection.

    `key` and `target` are 64 hex digits (byte 0 first, as in records) or
    32 bytes. `extranonce` is the connection's E: a full share's seed_a, a
    B-only share's prepare_seed, must have E as its upper 32 bits.
    `max_nonces` bounds a B-only nonce run (nonce - first_nonce < max_nonces);
    full jobs ignore it.
    """

    mode: str
    m: int
    n: int
    k: int
    key: Hex32
    target: Hex32
    extranonce: int
    max_nonces: int = 0

    def __post_init__(self):
        if self.mode not in ("full", "bonly"):
            raise ValueError(f'mode must be "full" or "bonly", not {self.mode!r}')
        for name in ("m", "n", "k"):
            _integer(name, getattr(self, name), 1 << 31)
        object.__setattr__(self, "key", _bytes32("key", self.key))
        object.__setattr__(self, "target", _bytes32("target", self.target))
        _integer("extranonce", self.extranonce, _U32)
        _integer("max_nonces", self.max_nonces, _U64)

    def _native(self) -> _native.QvJob:
        j = _native.QvJob()
        j.mode = _native.QV_MODE_FULL if self.mode == "full" else _native.QV_MODE_BONLY
        j.m, j.n, j.k = self.m, self.n, self.k
        j.key = _words(self.key)
        j.target = _words(self.target)
        j.max_nonces = self.max_nonces
        j.extranonce = self.extranonce
        return j


@dataclass(frozen=True)
class Share:
    """What a miner submits: seeds (full) or a nonce run (B-only), and a cell.

    Build one with `Share.full` or `Share.bonly`; fields the job's mode does
    not use are ignored. `found` may be any int: one outside the grid (or
    outside 32 bits) is refused as an invalid share, not raised.
    """

    found: int
    seed_a: int = 0
    seed_b: int = 0
    prepare_seed: int = 0
    first_nonce: int = 0
    nonce: int = 0

    def __post_init__(self):
        if not isinstance(self.found, int) or isinstance(self.found, bool):
            raise TypeError(f"found must be an int, not {type(self.found).__name__}")
        for name in ("seed_a", "seed_b", "prepare_seed", "first_nonce", "nonce"):
            _integer(name, getattr(self, name), _U64)

    @classmethod
    def full(cls, seed_a: int, seed_b: int, found: int) -> "Share":
        return cls(found=found, seed_a=seed_a, seed_b=seed_b)

    @classmethod
    def bonly(cls, prepare_seed: int, first_nonce: int, nonce: int, found: int) -> "Share":
        return cls(found=found, prepare_seed=prepare_seed, first_nonce=first_nonce, nonce=nonce)

    def _native(self) -> _native.QvShare:
        s = _native.QvShare()
        s.seed_a, s.seed_b = self.seed_a, self.seed_b
        s.prepare_seed, s.first_nonce, s.nonce = self.prepare_seed, self.first_nonce, self.nonce
        s.found = self.found
        return s


@dataclass(frozen=True)
class ShareResult:
    """The verdict on one share.

    `hash` is the claimed cell's keyed hash and `message` its 16 words; they
    and the recomputed roots and seeds are None when the share was refused
    before the attempt was rebuilt (outside the space, no cell). 32-byte
    values are bytes in record order (`.hex()` gives the record's text).
    """

    reason: Reason
    hash: Optional[bytes] = None
    message: Optional[Tuple[int, ...]] = None
    a_hash: Optional[bytes] = None
    b_hash: Optional[bytes] = None
    a_seed: Optional[bytes] = None
    b_seed: Optional[bytes] = None

    @property
    def accepted(self) -> bool:
        return self.reason == Reason.ACCEPTED

    @property
    def stratum_code(self) -> int:
        return self.reason.stratum_code

    @property
    def text(self) -> str:
        return self.reason.text


def _call(function, *args):
    error = ctypes.create_string_buffer(_native.ERROR_SIZE)
    status = function(*args, error, len(error))
    if status == _native.QV_BAD_RECORD:
        raise BadJobError(error.value.decode(errors="replace"))
    return status


def check_job(job: Job) -> None:
    """Raises BadJobError when the verifier could not check shares of `job`.

    A pool calls it before issuing a job; it is cheap.
    """
    _call(_native.library().qv_check_job, ctypes.byref(job._native()))


def check_share(job: Job, share: Share, threads: int = 1) -> ShareResult:
    """Checks `share` against `job`: seed space, cell, then hash against target.

    Rebuilds the attempt's matrices (the job's dims) on `threads` threads. The
    GIL is released while the library works, so checks on several Python
    threads run in parallel. Raises BadJobError for a job the verifier cannot
    check (or when memory runs out).
    """
    if _integer("threads", threads, 1 << 16) < 1:
        raise ValueError("threads must be at least 1")
    if share.found not in _INT32:
        return ShareResult(Reason.NO_CELL)
    verdict = _native.QvShareVerdict()
    _call(
        _native.library().qv_check_share,
        ctypes.byref(job._native()),
        ctypes.byref(share._native()),
        threads,
        ctypes.byref(verdict),
    )
    reason = Reason(verdict.reason)
    if not verdict.has_cell:
        return ShareResult(reason)
    return ShareResult(
        reason,
        hash=_bytes(verdict.hash),
        message=tuple(verdict.message),
        a_hash=_bytes(verdict.a_hash),
        b_hash=_bytes(verdict.b_hash),
        a_seed=_bytes(verdict.a_seed),
        b_seed=_bytes(verdict.b_seed),
    )


def canonical_share(job: Job, share: Share) -> Share:
    """The share in the form that names its attempt: pools key duplicates on it.

    Fields the job's mode does not use become 0, and a B-only nonce run
    longer than B's chunk count (n*k/1024) starts at its last chunk-count
    nonces, which alone decide the matrices. Cheap; nothing is rebuilt.
    """
    if share.found not in _INT32:
        return share
    out = _native.QvShare()
    library = _native.library()
    _call(library.qv_canonical_share, ctypes.byref(job._native()), ctypes.byref(share._native()), ctypes.byref(out))
    return Share(out.found, out.seed_a, out.seed_b, out.prepare_seed, out.first_nonce, out.nonce)
