"""The C side: libquorl_verify.so through ctypes, and its structures.

The structures mirror include/quorl_verify.h field for field; ctypes lays
them out with the platform's C alignment, as the compiler does.
"""

import ctypes
import ctypes.util
import os

_u32x8 = ctypes.c_uint32 * 8


class QvJob(ctypes.Structure):
    _fields_ = [
        ("mode", ctypes.c_int32),
        ("m", ctypes.c_int32),
        ("n", ctypes.c_int32),
        ("k", ctypes.c_int32),
        ("key", _u32x8),
        ("target", _u32x8),
        ("max_nonces", ctypes.c_uint64),
        ("extranonce", ctypes.c_uint32),
    ]


class QvShare(ctypes.Structure):
    _fields_ = [
        ("seed_a", ctypes.c_uint64),
        ("seed_b", ctypes.c_uint64),
        ("prepare_seed", ctypes.c_uint64),
        ("first_nonce", ctypes.c_uint64),
        ("nonce", ctypes.c_uint64),
        ("found", ctypes.c_int32),
    ]


class QvShareVerdict(ctypes.Structure):
    _fields_ = [
        ("reason", ctypes.c_int32),
        ("stratum_code", ctypes.c_int32),
        ("has_cell", ctypes.c_int32),
        ("message", ctypes.c_uint32 * 16),
        ("hash", _u32x8),
        ("a_hash", _u32x8),
        ("b_hash", _u32x8),
        ("a_seed", _u32x8),
        ("b_seed", _u32x8),
    ]


QV_OK, QV_INVALID, QV_BAD_RECORD = 0, 1, 2
QV_MODE_FULL, QV_MODE_BONLY = 0, 1
ERROR_SIZE = 256

_ENV = "QUORL_VERIFY_LIBRARY"


class VerifierNotFound(OSError):
    """libquorl_verify.so could not be loaded."""


def _candidates():
    explicit = os.environ.get(_ENV)
    if explicit:
        # An explicit choice is the only one tried: a silent fallback could
        # load another copy of the library than the one asked for.
        return [explicit]
    found = []
    try:  # written by `cmake --install`: where the library lies from here
        from ._location import LIBRARY_DIR

        here = os.path.dirname(os.path.abspath(__file__))
        found.append(os.path.normpath(os.path.join(here, LIBRARY_DIR, "libquorl_verify.so")))
    except ImportError:
        pass
    found.append(ctypes.util.find_library("quorl_verify") or "libquorl_verify.so")
    return found


def _load():
    tried = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            tried.append(f"{path}: {e}")
    raise VerifierNotFound(
        "cannot load libquorl_verify.so (set " + _ENV + " to its path); tried " + "; ".join(tried)
    )


def _declare(lib):
    job, share = ctypes.POINTER(QvJob), ctypes.POINTER(QvShare)
    text = (ctypes.c_char_p, ctypes.c_size_t)
    lib.qv_check_job.argtypes = [job, *text]
    lib.qv_check_job.restype = ctypes.c_int
    lib.qv_check_share.argtypes = [job, share, ctypes.c_int, ctypes.POINTER(QvShareVerdict), *text]
    lib.qv_check_share.restype = ctypes.c_int
    lib.qv_canonical_share.argtypes = [job, share, share, *text]
    lib.qv_canonical_share.restype = ctypes.c_int
    lib.qv_share_reason_text.argtypes = [ctypes.c_int]
    lib.qv_share_reason_text.restype = ctypes.c_char_p
    return lib


_library = None


def library():
    """The loaded library, on first use (so importing never fails)."""
    global _library
    if _library is None:
        _library = _declare(_load())
    return _library
