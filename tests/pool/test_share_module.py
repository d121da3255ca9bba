"""The Python module over libquorl_verify: typed results that agree with
`qkmine commit` and `qkmine verify`, refusals with the pool's codes, and
Pythonic errors for what cannot be checked."""

import json
import os
import subprocess
import sys
import unittest

import quorl_verify as qv

KEY = bytes(range(32)).hex()
E = 0x5EED0001
ALL = "ff" * 32  # every cell meets it
QKMINE = os.environ.get("QKMINE", "")


def job(mode="full", target=ALL, **changes):
    fields = dict(mode=mode, m=128, n=256, k=256, key=KEY, target=target, extranonce=E,
                  max_nonces=500 if mode == "bonly" else 0)
    fields.update(changes)
    return qv.Job(**fields)


def full_share(found=5, low=3):
    return qv.Share.full(seed_a=E << 32 | low, seed_b=4, found=found)


def bonly_share(first=10, last=20, found=7):
    return qv.Share.bonly(prepare_seed=E << 32 | 9, first_nonce=first, nonce=last, found=found)


def qkmine(*args, stdin=None):
    return subprocess.run([QKMINE, *args], input=stdin, capture_output=True, text=True, timeout=300)


def record(j, share, result):
    """The record `qkmine mine` would print for this share."""
    r = {"mode": j.mode, "m": j.m, "n": j.n, "k": j.k, "key": j.key.hex(), "target": j.target.hex(),
         "a_hash": result.a_hash.hex(), "b_hash": result.b_hash.hex(), "a_seed": result.a_seed.hex(),
         "b_seed": result.b_seed.hex(), "found": share.found, "hash": result.hash.hex()}
    if j.mode == "full":
        r.update(seed_a=share.seed_a, seed_b=share.seed_b)
    else:
        r.update(prepare_seed=share.prepare_seed, first_nonce=share.first_nonce, nonce=share.nonce)
    return json.dumps(r)


@unittest.skipUnless(QKMINE, "QKMINE names the qkmine binary (ctest sets it)")
class AgreesWithQkmine(unittest.TestCase):
    def test_roots_are_those_qkmine_commits(self):
        share = full_share()
        result = qv.check_share(job(), share)
        self.assertTrue(result.accepted)
        out = qkmine("commit", "--device", "cpu", "--json", "--m", "128", "--n", "256", "--k", "256",
                     "--seed-a", str(share.seed_a), "--seed-b", str(share.seed_b), "--key", KEY)
        self.assertEqual(out.returncode, 0, out.stderr)
        roots = json.loads(out.stdout)
        self.assertEqual(result.a_hash.hex(), roots["a_hash"])
        self.assertEqual(result.b_hash.hex(), roots["b_hash"])

    def test_accepted_shares_make_records_that_verify(self):
        for j, share in ((job(), full_share(found=63)), (job("bonly"), bonly_share(first=3, last=150))):
            with self.subTest(mode=j.mode):
                result = qv.check_share(j, share, threads=2)
                self.assertTrue(result.accepted)
                out = qkmine("verify", "--json", stdin=record(j, share, result))
                self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
                verdict = json.loads(out.stdout)
                self.assertTrue(verdict["valid"])
                self.assertEqual(verdict["hash"], result.hash.hex())
                self.assertEqual(verdict["message"], b"".join(w.to_bytes(4, "little") for w in result.message).hex())


class Shares(unittest.TestCase):
    def test_the_target_bound_is_inclusive(self):
        for j, share in ((job(), full_share()), (job("bonly"), bonly_share())):
            with self.subTest(mode=j.mode):
                digest = qv.check_share(j, share).hash
                at = qv.check_share(job(j.mode, target=digest), share)
                self.assertTrue(at.accepted)
                self.assertEqual((at.reason, at.stratum_code, at.text), (qv.Reason.ACCEPTED, 0, ""))
                below = (int.from_bytes(digest, "little") - 1).to_bytes(32, "little")
                above = qv.check_share(job(j.mode, target=below), share)
                self.assertFalse(above.accepted)
                self.assertEqual((above.reason, above.stratum_code, above.text),
                                 (qv.Reason.ABOVE_TARGET, 23, "share above target"))
                self.assertEqual(above.hash, digest)

    def test_refusals_carry_the_pools_code_and_message(self):
        cases = [
            ("seed_a of another connection", job(), qv.Share.full((E + 1) << 32, 4, 5),
             qv.Reason.OUTSIDE_SPACE, "outside your seed space"),
            ("B-only run going backwards", job("bonly"), bonly_share(first=20, last=19), qv.Reason.OUTSIDE_SPACE,
             "outside your seed space"),
            ("B-only run longer than max_nonces", job("bonly"), bonly_share(first=0, last=500), qv.Reason.OUTSIDE_SPACE,
             "outside your seed space"),
            ("found -1", job(), full_share(found=-1), qv.Reason.NO_CELL, "invalid share"),
            ("found past the grid", job(), full_share(found=64 * 4), qv.Reason.NO_CELL, "invalid share"),
            ("found beyond 32 bits", job(), full_share(found=(1 << 32) + 5), qv.Reason.NO_CELL, "invalid share"),
        ]
        for what, j, share, reason, text in cases:
            with self.subTest(what):
                result = qv.check_share(j, share)
                self.assertFalse(result.accepted)
                self.assertEqual((result.reason, result.stratum_code, result.text), (reason, 20, text))
                self.assertIsNone(result.hash)
                self.assertIsNone(result.a_hash)

    def test_canonical_shares_name_the_attempt(self):
        j = job("bonly")  # B has 64 chunks
        long_run = bonly_share(first=0, last=300)
        canonical = qv.canonical_share(j, long_run)
        self.assertEqual((canonical.first_nonce, canonical.nonce), (300 - 63, 300))
        self.assertEqual(qv.canonical_share(j, bonly_share(first=290, last=300)), bonly_share(first=290, last=300))
        self.assertEqual(qv.check_share(j, canonical).hash, qv.check_share(j, long_run).hash)
        noisy = qv.Share(found=5, seed_a=E << 32 | 3, seed_b=4, prepare_seed=1, first_nonce=2, nonce=3)
        self.assertEqual(qv.canonical_share(job(), noisy), full_share())


class Errors(unittest.TestCase):
    def test_jobs_the_verifier_cannot_check_raise_bad_job_error(self):
        cases = [
            (job(m=100), "m must be a positive multiple of 128"),
            (job(n=768), "n*k"),
            (job("bonly", max_nonces=0), "max_nonces >= 1"),
            (job(m=1 << 25), "4 GiB"),
        ]
        for j, why in cases:
            with self.subTest(why):
                with self.assertRaisesRegex(qv.BadJobError, why):
                    qv.check_job(j)
                with self.assertRaisesRegex(qv.BadJobError, why):
                    qv.check_share(j, full_share())
        qv.check_job(job())  # a good one passes quietly
        self.assertTrue(issubclass(qv.BadJobError, ValueError))

    def test_wrong_types_and_ranges_raise_at_construction(self):
        cases = [
            (lambda: job(mode="half"), ValueError, "mode"),
            (lambda: job(m="128"), TypeError, "m must be an int"),
            (lambda: job(k=True), TypeError, "k must be an int"),
            (lambda: job(n=-256), ValueError, "n must be in"),
            (lambda: job(key="00" * 31), ValueError, "key must be 64 hex digits"),
            (lambda: job(key="zz" * 32), ValueError, "key must be 64 hex digits"),
            (lambda: job(target=bytes(31)), ValueError, "target must be 32 bytes"),
            (lambda: job(key=12), TypeError, "key must be"),
            (lambda: job(extranonce=1 << 32), ValueError, "extranonce"),
            (lambda: job(max_nonces=-1), ValueError, "max_nonces"),
            (lambda: qv.Share.full(-1, 0, 0), ValueError, "seed_a"),
            (lambda: qv.Share.bonly(0, 0, 1 << 64, 0), ValueError, "nonce"),
            (lambda: qv.Share.full(0, 0, "3"), TypeError, "found must be an int"),
            (lambda: qv.Share.full(0, 0, 3.0), TypeError, "found must be an int"),
            (lambda: qv.check_share(job(), full_share(), threads=0), ValueError, "threads"),
        ]
        for make, error, why in cases:
            with self.subTest(why):
                with self.assertRaisesRegex(error, why):
                    make()

    def test_a_missing_library_is_named_on_first_use_not_at_import(self):
        code = ("import quorl_verify as qv\n"
                "try:\n"
                "    qv.check_job(qv.Job('full', 128, 256, 256, '00' * 32, 'ff' * 32, 0))\n"
                "except qv.VerifierNotFound as e:\n"
                "    print('not found:', e)\n")
        env = dict(os.environ, QUORL_VERIFY_LIBRARY="/nonexistent/libquorl_verify.so")
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("not found: cannot load libquorl_verify.so (set QUORL_VERIFY_LIBRARY", out.stdout)
        self.assertIn("/nonexistent/libquorl_verify.so", out.stdout)


if __name__ == "__main__":
    unittest.main()
