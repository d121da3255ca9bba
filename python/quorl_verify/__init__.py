"""Checking mining shares with libquorl_verify, on any machine (no GPU).

A pool issues jobs and gives each connection its own extranonce; it checks
each share a miner submits against the job it issued::

    import quorl_verify as qv

    job = qv.Job(mode="full", m=256, n=256, k=2048, key=key_hex, target=target_hex,
                 extranonce=0x1a2b3c4d)
    result = qv.check_share(job, qv.Share.full(seed_a, seed_b, found))
    if not result.accepted:
        answer_error(result.stratum_code, result.text)   # 20 or 23

The module loads libquorl_verify.so on first use: from QUORL_VERIFY_LIBRARY
when set, else from the installed tree beside the module, else from the
system's library path.
"""

from ._native import VerifierNotFound
from .shares import (
    BadJobError,
    Job,
    Reason,
    Share,
    ShareResult,
    canonical_share,
    check_job,
    check_share,
)

__all__ = [
    "BadJobError",
    "Job",
    "Reason",
    "Share",
    "ShareResult",
    "VerifierNotFound",
    "canonical_share",
    "check_job",
    "check_share",
]
