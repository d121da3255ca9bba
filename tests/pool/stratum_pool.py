#!/usr/bin/env python3
"""A small stratum pool for the tests, checking every share with quorl_verify.

It listens on 127.0.0.1 (a port the OS picks, or --port), over TLS with
--tls-cert/--tls-key. The test drives it through stdin, one JSON command a
line, and follows it on stdout, one JSON event a line:

  {"event": "listening", "port": P}                         once listening
  {"event": "connected" | "closed", "conn": C}
  {"event": "subscribed", "conn": C, "extranonce": "...", "resumed": bool}
  {"event": "authorized", "conn": C, "user": U}
  {"event": "submit", "conn": C, "job": J, "params": [...], "code": 0 | 20..25,
   "message": M, "hash": H}                                  every submit checked
  {"event": "client_answer", "conn": C, "message": {...}}   an answer from the client
  {"event": "done", "cmd": NAME}                            after every command

Commands: job (add a job and notify everyone), forget (jobs gone without a
word), send (raw bytes, in hex, to a connection), drop (close connections), drop_on_submit
(close a connection when its next submit arrives, unanswered), drop_after_submit
(check and record the next submit, then close without answering), refuse (answer
the next submit with the given code and message, whatever it holds), mute (leave
requests unanswered), close_listener / open_listener (the pool goes down /
comes back on the same port), reconnect (client.reconnect), quit.
"""

import argparse
import asyncio
import dataclasses
import json
import ssl
import sys

import quorl_verify as qv

NOT_FOUND, DUPLICATE, UNAUTHORIZED, NOT_SUBSCRIBED, OTHER = 21, 22, 24, 25, 20


def emit(**event):
    print(json.dumps(event), flush=True)


def hex16(text):
    """A 64-bit value as the protocol sends it, or None."""
    if not isinstance(text, str) or len(text) != 16:
        return None
    try:
        return int(text, 16)
    except ValueError:
        return None


class Connection:
    def __init__(self, pool, number, reader, writer):
        self.pool, self.number, self.reader, self.writer = pool, number, reader, writer
        self.extranonce = None
        self.resumed = False
        self.user = None

    def send(self, message):
        self.writer.write((json.dumps(message) + "\n").encode())

    def notify(self, job_id, clean):
        job = self.pool.jobs[job_id]
        params = [job_id, job.mode, job.m, job.n, job.k, job.key.hex(), job.target.hex(), clean, job.max_nonces]
        self.send({"id": None, "method": "mining.notify", "params": params})

    async def serve(self):
        emit(event="connected", conn=self.number)
        try:
            while True:
                line = await self.reader.readline()
                if not line:
                    break
                await self.handle(json.loads(line))
                await self.writer.drain()
        except (ConnectionError, ssl.SSLError, json.JSONDecodeError, asyncio.IncompleteReadError):
            pass
        finally:
            self.close()

    def close(self):
        if self in self.pool.connections:
            self.pool.connections.remove(self)
            self.writer.close()
            emit(event="closed", conn=self.number)

    async def handle(self, request):
        if self.pool.muted:
            return
        method, params, rid = request.get("method"), request.get("params"), request.get("id")
        if method == "mining.subscribe":
            self.extranonce, resumed = self.pool.extranonce_for(self, params)
            self.send({"id": rid, "result": [None, f"{self.extranonce:08x}"], "error": None})
            emit(event="subscribed", conn=self.number, extranonce=f"{self.extranonce:08x}", resumed=resumed)
        elif method == "mining.authorize":
            if params[0] in self.pool.args.refuse_user:
                self.send({"id": rid, "result": None, "error": [UNAUTHORIZED, "unauthorized", None]})
                return
            self.user = params[0]
            self.send({"id": rid, "result": True, "error": None})
            emit(event="authorized", conn=self.number, user=self.user)
            if self.pool.newest is not None:
                self.notify(self.pool.newest, clean=not self.resumed)
        elif method == "mining.submit":
            if self.pool.drop_on_submit > 0:
                self.pool.drop_on_submit -= 1
                self.close()
                return
            code, message, digest = await self.pool.check(self, params)
            if self.pool.refusal is not None:
                (code, message), self.pool.refusal = self.pool.refusal, None
            job = params[1] if isinstance(params, list) and len(params) > 1 else None
            # The event first: a test that has the answer finds the event on its way.
            emit(event="submit", conn=self.number, job=job, params=params, code=code, message=message, hash=digest)
            if self.pool.drop_after_submit > 0:  # taken, but the answer is lost
                self.pool.drop_after_submit -= 1
                self.close()
                return
            if code == 0:
                self.send({"id": rid, "result": True, "error": None})
            else:
                self.send({"id": rid, "result": None, "error": [code, message, None]})
        elif method is None:
            emit(event="client_answer", conn=self.number, message=request)
        else:
            self.send({"id": rid, "result": None, "error": [OTHER, "unknown method", None]})


class Pool:
    def __init__(self, args):
        self.args = args
        self.tls = None
        if args.tls_cert:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(args.tls_cert, args.tls_key)
        self.port = args.port
        self.server = None
        self.connections = []
        self.numbers = 0
        self.jobs = {}  # id -> qv.Job with extranonce 0 (each connection has its own)
        self.valid = set()  # ids the pool still takes shares for
        self.newest = None
        self.issued = set()  # every extranonce handed out
        self.next_extranonce = args.first_extranonce
        self.seen = set()  # accepted shares, canonical
        self.drop_on_submit = 0
        self.drop_after_submit = 0
        self.refusal = None  # (code, message) for the next submit
        self.muted = False  # requests go unanswered
        self.serving = set()  # the connections' tasks

    def extranonce_for(self, conn, params):
        """A new extranonce, or the one asked back if this pool issued it.

        A connection still holding it is the lost one of the same miner, not
        yet noticed: it is closed, so an extranonce never has two holders.
        """
        if isinstance(params, list) and len(params) > 1 and isinstance(params[1], str):
            try:
                wanted = int(params[1], 16)
            except ValueError:
                wanted = None
            if wanted in self.issued:
                for c in list(self.connections):
                    if c is not conn and c.extranonce == wanted:
                        c.close()
                return wanted, True
        e = self.next_extranonce
        self.next_extranonce += 1
        self.issued.add(e)
        return e, False

    async def check(self, conn, params):
        """(code, message, hash hex or None) for one mining.submit."""
        if conn.extranonce is None:
            return NOT_SUBSCRIBED, "not subscribed", None
        if conn.user is None:
            return UNAUTHORIZED, "unauthorized", None
        if not isinstance(params, list) or len(params) < 2 or params[0] != conn.user:
            return UNAUTHORIZED, "unauthorized", None
        job_id = params[1]
        if job_id not in self.valid:
            return NOT_FOUND, "job not found", None
        template = self.jobs[job_id]
        values = params[2:-1]
        found = params[-1]
        if len(values) != (2 if template.mode == "full" else 3) or type(found) is not int:
            return OTHER, "invalid share", None
        numbers = [hex16(v) for v in values]
        if None in numbers:
            return OTHER, "invalid share", None
        share = qv.Share.full(*numbers, found) if template.mode == "full" else qv.Share.bonly(*numbers, found)
        job = dataclasses.replace(template, extranonce=conn.extranonce)
        key = (job_id, qv.canonical_share(job, share))
        if key in self.seen:
            return DUPLICATE, "duplicate share", None
        result = await asyncio.to_thread(qv.check_share, job, share)
        digest = result.hash.hex() if result.hash else None
        if not result.accepted:
            return result.stratum_code, result.text, digest
        self.seen.add(key)
        return 0, "", digest

    async def listen(self):
        self.server = await asyncio.start_server(
            self.accept, "127.0.0.1", self.port, ssl=self.tls, reuse_address=True
        )
        self.port = self.server.sockets[0].getsockname()[1]

    async def accept(self, reader, writer):
        self.numbers += 1
        conn = Connection(self, self.numbers, reader, writer)
        self.connections.append(conn)
        self.serving.add(asyncio.current_task())
        try:
            await conn.serve()
        finally:
            self.serving.discard(asyncio.current_task())

    async def shut_down(self):
        """Closes everything and lets each connection's task end on its own."""
        self.server.close()
        for c in list(self.connections):
            c.close()
        if self.serving:
            await asyncio.wait(self.serving, timeout=5)

    def targets(self, which):
        return list(self.connections) if which == "all" else [c for c in self.connections if c.number == which]

    async def command(self, cmd):
        name = cmd["cmd"]
        if name == "job":
            fields = {k: cmd[k] for k in ("mode", "m", "n", "k", "key", "target")}
            self.jobs[cmd["id"]] = qv.Job(**fields, extranonce=0, max_nonces=cmd.get("max_nonces", 0))
            if cmd.get("clean", True):
                self.valid.clear()
            self.valid.add(cmd["id"])
            self.newest = cmd["id"]
            for c in self.connections:
                if c.user is not None:
                    c.notify(cmd["id"], cmd.get("clean", True))
        elif name == "forget":
            self.valid.difference_update(cmd["ids"])
        elif name == "send":
            for c in self.targets(cmd.get("conn", "all")):
                c.writer.write(bytes.fromhex(cmd["hex"]))
        elif name == "drop":
            for c in self.targets(cmd.get("conn", "all")):
                c.close()
        elif name == "mute":
            self.muted = cmd["on"]
        elif name == "drop_on_submit":
            self.drop_on_submit = cmd.get("count", 1)
        elif name == "refuse":
            self.refusal = (cmd["code"], cmd["message"])
        elif name == "drop_after_submit":
            self.drop_after_submit = cmd.get("count", 1)
        elif name == "close_listener":
            self.server.close()
            await self.server.wait_closed()
            for c in list(self.connections):
                c.close()
        elif name == "open_listener":
            await self.listen()
        elif name == "reconnect":
            for c in self.targets(cmd.get("conn", "all")):
                c.send({"id": None, "method": "client.reconnect", "params": [cmd["host"], cmd["port"], cmd["wait"]]})
        for c in list(self.connections):
            try:
                await c.writer.drain()
            except ConnectionError:
                c.close()
        emit(event="done", cmd=name)
        return name != "quit"


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--first-extranonce", type=lambda s: int(s, 0), default=0x1000)
    parser.add_argument("--refuse-user", action="append", default=[], help="refuse this user's authorization")
    pool = Pool(parser.parse_args())
    await pool.listen()
    emit(event="listening", port=pool.port)
    loop = asyncio.get_running_loop()
    commands = asyncio.StreamReader(limit=1 << 22)  # raw sends of hostile lines are long
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(commands), sys.stdin)
    while True:
        line = await commands.readline()
        if not line or not await pool.command(json.loads(line)):
            break
    await pool.shut_down()


if __name__ == "__main__":
    asyncio.run(main())
