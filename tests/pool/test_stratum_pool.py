"""The test pool's own answers, over a plain socket: the codes the client's
tests rely on (20 to 25), duplicates keyed on the canonical share, and the
extranonce handed back to a resuming miner."""

import json
import os
import socket
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
KEY = bytes(range(32)).hex()
PATIENCE = 60  # seconds; the machine may be loaded


class PoolUnderTest:
    def __init__(self):
        self.process = subprocess.Popen([sys.executable, os.path.join(HERE, "stratum_pool.py")],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = self.event("listening")["port"]

    def event(self, name):
        """The next event called `name` (any event for None)."""
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise AssertionError(f"the pool ended before {name}")
            event = json.loads(line)
            if name is None or event["event"] == name:
                return event

    def command(self, **cmd):
        self.process.stdin.write(json.dumps(cmd) + "\n")
        self.process.stdin.flush()
        while self.event("done")["cmd"] != cmd["cmd"]:
            pass

    def job(self, job_id, mode, clean=True):
        self.command(cmd="job", id=job_id, mode=mode, m=128, n=256, k=256, key=KEY, target="ff" * 32,
                     clean=clean, max_nonces=100 if mode == "bonly" else 0)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=PATIENCE)
        self.process.stdout.close()


class Miner:
    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=PATIENCE)
        self.lines = self.socket.makefile("r")
        self.ids = 0

    def ask(self, method, *params):
        """Sends a request; returns its answer (notifications on the way are kept)."""
        self.ids += 1
        self.socket.sendall((json.dumps({"id": self.ids, "method": method, "params": list(params)}) + "\n").encode())
        while True:
            message = json.loads(self.lines.readline())
            if message.get("id") == self.ids:
                return message

    def close(self):
        self.lines.close()
        self.socket.close()


def code(answer):
    return 0 if answer["result"] is True else answer["error"][0]


class PoolAnswers(unittest.TestCase):
    def setUp(self):
        self.pool = PoolUnderTest()
        self.addCleanup(self.pool.close)
        self.pool.job("f1", "full")

    def miner(self):
        m = Miner(self.pool.port)
        self.addCleanup(m.close)
        return m

    def test_each_refusal_has_its_code(self):
        m = self.miner()
        self.assertEqual(code(m.ask("mining.submit", "u", "f1", "0" * 16, "0" * 16, 0)), 25)
        e = int(m.ask("mining.subscribe", "test/1")["result"][1], 16)
        space = f"{e:08x}"
        self.assertEqual(code(m.ask("mining.submit", "u", "f1", space + "0" * 8, "0" * 16, 0)), 24)
        self.assertIs(m.ask("mining.authorize", "u", "x")["result"], True)
        self.pool.job("b1", "bonly", clean=False)
        cases = [
            ("another user's name", ["v", "f1", space + "00000001", "0" * 16, 0], 24),
            ("unknown job", ["u", "nope", space + "00000001", "0" * 16, 0], 21),
            ("seed not 16 hex digits", ["u", "f1", "1", "0" * 16, 0], 20),
            ("found not a number", ["u", "f1", space + "00000001", "0" * 16, "0"], 20),
            ("found true", ["u", "f1", space + "00000001", "0" * 16, True], 20),
            ("a B-only share's fields for a full job", ["u", "f1", space + "00000001", "0" * 16, "0" * 16, 0], 20),
            ("outside the seed space", ["u", "f1", "ffffffff00000001", "0" * 16, 0], 20),
            ("a share", ["u", "f1", space + "00000001", "0" * 16, 0], 0),
            ("the same share", ["u", "f1", space + "00000001", "0" * 16, 0], 22),
            ("another cell of it", ["u", "f1", space + "00000001", "0" * 16, 1], 0),
            ("a B-only share, nonces 0..80", ["u", "b1", space + "00000002", "0" * 16, f"{80:016x}", 3], 0),
            ("the same attempt from nonce 5", ["u", "b1", space + "00000002", f"{5:016x}", f"{80:016x}", 3], 22),
            ("a shorter run is another attempt", ["u", "b1", space + "00000002", f"{30:016x}", f"{80:016x}", 3], 0),
            ("a run over max_nonces", ["u", "b1", space + "00000002", "0" * 16, f"{100:016x}", 3], 20),
        ]
        for what, params, want in cases:
            with self.subTest(what):
                self.assertEqual(code(m.ask("mining.submit", *params)), want)
        self.pool.command(cmd="forget", ids=["f1"])
        self.assertEqual(code(m.ask("mining.submit", "u", "f1", space + "00000009", "0" * 16, 0)), 21)

    def test_extranonces_are_unique_and_given_back_on_resume(self):
        a, b = self.miner(), self.miner()
        ea = a.ask("mining.subscribe", "test/1")["result"][1]
        eb = b.ask("mining.subscribe", "test/1")["result"][1]
        self.assertNotEqual(ea, eb)
        c = self.miner()
        self.assertEqual(c.ask("mining.subscribe", "test/1", ea)["result"][1], ea)
        subscribed, closed = [], 0
        while len(subscribed) < 3 or closed < 1:  # the lost holder of `ea` is let go
            event = self.pool.event(None)
            if event["event"] == "subscribed":
                subscribed.append(event["resumed"])
            closed += event["event"] == "closed"
        self.assertEqual(subscribed, [False, False, True])
        d = self.miner()
        self.assertNotIn(d.ask("mining.subscribe", "test/1", "ffff0000")["result"][1], (ea, eb, "ffff0000"))


if __name__ == "__main__":
    unittest.main()
