"""Fault injection against the running server.

Many clients at once mix valid and hostile commands, abort transfers, drop data or control
connections at random moments, and upload and download side by side. Afterwards the server must
still serve a new client, hold no more descriptors than before, not have grown in memory beyond a
stated bound, and every transfer it reported complete ("226 Transfer complete.") must be
byte-exact on both sides: downloads on the client, uploads in the server's root.

The same run goes once in plain FTP and once over explicit TLS (AUTH TLS, PROT P): every
command, abort and dropped connection then also goes through the TLS layer, and the data
connections resume the control connection's TLS session, as strict clients do.

The choices come from one seed, printed at the start; NB_STRESS_SEED=<seed> replays them (thread
timing still varies). NB_STRESS_SECONDS and NB_STRESS_CLIENTS change the load of each run.
"""
import collections
import ftplib
import io
import os
import random
import socket
import ssl
import struct
import sys
import threading
import time
import unittest
import warnings

from nbftp_harness import (PASSWORD, USER, RunningServer, open_fd_count, resident_kib,
                           sanitized)

SEED = int(os.environ.get("NB_STRESS_SEED", "20261208"))
SECONDS = float(os.environ.get("NB_STRESS_SECONDS", "45"))
CLIENTS = int(os.environ.get("NB_STRESS_CLIENTS", "12"))
# A reply may wait behind workers that are themselves waiting out a data connection (the
# server's TimeOut is 60 s, and every transfer holds a worker), so only a reply slower than that
# wait plus a margin is a hang.
REPLY_TIMEOUT = 90
SETTLE_TIMEOUT = 20  # for the server to close what the clients dropped
BIG_SIZE = 24 * 1024 * 1024  # larger than loopback socket buffers, so aborts land mid-transfer
# Memory bound: after the run the server may keep pools, thread stacks and allocator caches, but
# not anything that grows with the number of sessions or transfers (thousands here).
RSS_GROWTH_KIB = 64 * 1024
# A sanitizer build holds freed memory in quarantine and shadow memory on top; the quarantine is
# made small for the server below, the rest gets this much extra room.
RSS_GROWTH_SANITIZER_KIB = 192 * 1024

COMPLETE = "226 Transfer complete."


def payload(rnd, size):
    # CR, LF, NUL and 0xFF are in every payload: no transfer may touch them.
    head = b"\r\n\n\r\x00\xff"[: max(0, size)]
    return head + rnd.randbytes(max(0, size - len(head)))


def random_size(rnd):
    return rnd.choice([0, 1, 2, 100, 4095, 4096, 65537, 200_000, 700_000, 2_000_000])


class ResumingFTP_TLS(ftplib.FTP_TLS):
    """FTP over explicit TLS whose protected data connections resume the control connection's
    TLS session (Python's own class starts a fresh one for each)."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
        return conn, size


def tls_context():
    # The server's certificate is its own self-signed one; TLS 1.2 keeps the session
    # resumable the moment the handshake ends.
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.maximum_version = ssl.TLSVersion.TLSv1_2
    return context


def open_session(port, tls, login=True):
    if tls:
        ftp = ResumingFTP_TLS(context=tls_context(), encoding="latin-1")
    else:
        ftp = ftplib.FTP(encoding="latin-1")  # replies may echo any byte a client sent
    ftp.connect("127.0.0.1", port, timeout=REPLY_TIMEOUT)
    if tls:
        ftp.auth()
    if login:
        ftp.login(USER, PASSWORD)
        if tls:
            ftp.prot_p()
    return ftp


class SessionLost(Exception):
    """The control connection is gone (on purpose or not): the client starts a new session."""


class Ledger:
    """What every client saw, shared between the client threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.uploads = {}  # name -> bytes, for uploads answered "226 Transfer complete."
        self.counts = collections.Counter()
        self.problems = []

    def count(self, what):
        with self.lock:
            self.counts[what] += 1

    def problem(self, text):
        with self.lock:
            self.problems.append(text)

    def add_upload(self, name, data):
        with self.lock:
            self.uploads[name] = data

    def take_upload(self, rnd, prefix):
        """Removes one of the client's own completed uploads (before it deletes or renames it)."""
        with self.lock:
            own = sorted(n for n in self.uploads if n.startswith(prefix))
            if not own:
                return None, None
            name = rnd.choice(own)
            return name, self.uploads.pop(name)

    def pick_upload(self, rnd):
        with self.lock:
            if not self.uploads:
                return None, None
            name = rnd.choice(sorted(self.uploads))
            return name, self.uploads[name]


# Hostile or malformed command lines; each gets a reply and the session goes on.
HOSTILE = [
    b"FOO bar", b"   \r\n\r\nNOOP", b"RETR", b"RETR ../../../../etc/passwd", b"RETR /../../etc/passwd",
    b"CWD ../../..", b"CWD ..\\..\\..", b"SIZE //etc/passwd", b"MDTM ../nothing",
    b"PORT 1,2,3,4,5,6", b"PORT 127,0,0,1,0,21", b"PORT 127,0,0,1,256,1", b"PORT a,b,c,d,e,f",
    b"PORT 127,0,0,1,4", b"REST -5", b"REST abc", b"REST 99999999999999999999999", b"TYPE X",
    b"MODE Z", b"STRU Q", b"MKD", b"RNTO x", b"RNFR no-such-file", b"DELE no-such-file",
    b"PASS again", b"NO\x00OP", b"NOOP\x00\x00\x00", b"\xff\xf4\xff\xf2NOOP",
    b"CWD \xff\xfe\xc3\x28", b"RETR " + b"a" * 5000, b"MKD " + b"../" * 300 + b"x", b"SITE",
    b"HELP", b"HELP RETR", b"STAT", b"FEAT", b"OPTS UTF8 ON", b"ALLO 100", b"SIZE nothing",
    b"LIST", b"NLST", b"STOU", b"APPE", b"AUTH TLS", b"PBSZ 0", b"PROT P", b"SYST", b"ABOR",
    b"noop", b"\tNOOP\t", b"ACCT x", b"SMNT /", b"REIN"
]


class Client:
    """One simulated user: sessions of random actions until the deadline."""

    def __init__(self, server, ledger, index, deadline, tls=False):
        self.server = server
        self.tls = tls
        self.ledger = ledger
        self.index = index
        self.deadline = deadline
        self.rnd = random.Random(f"{SEED}-{index}")
        self.prefix = f"c{index}-"
        self.serial = 0
        self.ftp = None
        self.action = "login"

    # ---- sessions ----

    def connect(self, login=True):
        return open_session(self.server.port, self.tls, login)

    def run(self):
        try:
            while time.monotonic() < self.deadline:
                try:
                    self.ftp = self.connect()
                    self.session()
                    self.ftp.quit()
                except SessionLost:
                    pass
                except (socket.timeout, TimeoutError) as e:
                    self.ledger.problem(f"client {self.index}: no reply within {REPLY_TIMEOUT}s "
                                        f"in {self.action} ({e!r})")
                except (ftplib.Error, OSError, EOFError) as e:
                    self.ledger.count(f"session error {type(e).__name__}: {str(e)[:40]}")
                finally:
                    self.close_quietly(self.ftp)
                    self.ftp = None
        except Exception as e:  # a fault of the test itself must not go unseen
            self.ledger.problem(f"client {self.index}: {e!r}")

    def session(self):
        actions = [
            (self.upload, 6), (self.download, 6), (self.abort_download, 3), (self.abort_upload, 2),
            (self.drop_data_download, 3), (self.drop_data_upload, 2), (self.hostile, 5),
            (self.listing, 2), (self.directories, 1), (self.delete_or_rename, 2),
            (self.pasv_twice, 1), (self.chunked_command, 1), (self.drop_control, 1),
            (self.overlong_line, 1),
        ]
        functions = [f for f, _ in actions]
        weights = [w for _, w in actions]
        for _ in range(self.rnd.randint(1, 25)):
            if time.monotonic() >= self.deadline:
                return
            action = self.rnd.choices(functions, weights)[0]
            self.action = action.__name__
            self.ledger.count(action.__name__)
            action()

    def close_quietly(self, ftp):
        if ftp is not None:
            try:
                ftp.close()
            except OSError:
                pass

    def new_name(self):
        self.serial += 1
        return f"{self.prefix}{self.serial}.bin"

    def set_mode(self):
        self.ftp.set_pasv(self.rnd.random() < 0.8)

    def resync(self):
        """After an abort or a dropped data connection 0 to 3 replies may still be on their way:
        NOOP marks the end of them."""
        self.ftp.putcmd("NOOP")
        while True:
            line = self.ftp.getline()
            if line.startswith("200 "):
                return

    def reply_of(self, raw):
        """Sends raw bytes as one command and returns its reply (raises SessionLost on close)."""
        self.ftp.sock.sendall(raw + b"\r\n")
        try:
            reply = self.ftp.getmultiline()
        except EOFError:
            raise SessionLost()
        if len(reply) < 3 or not reply[:3].isdigit() or reply[0] not in "2345":
            self.ledger.problem(f"odd reply to {raw[:40]!r}: {reply[:80]!r}")
        return reply

    @staticmethod
    def hard_close(sock):
        """Closes with a reset instead of an orderly close."""
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        sock.close()

    # ---- actions ----

    def upload(self):
        self.set_mode()
        name = self.new_name()
        data = payload(self.rnd, random_size(self.rnd))
        try:
            reply = self.ftp.storbinary(f"STOR {name}", io.BytesIO(data), blocksize=65536)
        except ftplib.error_temp as e:
            self.ledger.count(f"upload refused {str(e)[:3]}")
            return
        if reply == COMPLETE:
            self.ledger.add_upload(name, data)
            self.ledger.count("uploads complete")

    def download(self):
        self.set_mode()
        name, data = self.ledger.pick_upload(self.rnd)
        if name is None or self.rnd.random() < 0.15:
            name, data = "big.bin", self.server.big
        out = bytearray()
        try:
            reply = self.ftp.retrbinary(f"RETR {name}", out.extend, blocksize=65536)
        except ftplib.error_perm:
            self.ledger.count("download of a file deleted meanwhile")
            return
        if reply == COMPLETE:
            self.ledger.count("downloads complete")
            if bytes(out) != data:
                self.ledger.problem(f"download of {name} reported complete but differs: "
                                    f"{len(out)} bytes, expected {len(data)}")

    def abort_download(self):
        self.set_mode()
        conn = self.ftp.transfercmd("RETR big.bin")
        try:
            want = self.rnd.choice([0, 1, 4096, 300_000, 2_000_000])
            got = 0
            while got < want:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                got += len(chunk)
            self.abort()
        finally:
            conn.close()
        self.resync()

    def abort_upload(self):
        self.set_mode()
        conn = self.ftp.transfercmd(f"STOR {self.new_name()}")
        try:
            conn.sendall(payload(self.rnd, self.rnd.choice([0, 10, 100_000, 1_000_000])))
            self.abort()
        finally:
            conn.close()
        self.resync()

    def abort(self):
        try:
            self.ftp.abort()  # ABOR as urgent data with Telnet IP and Synch, as ftplib sends it
        except ftplib.error_proto as e:
            self.ledger.problem(f"ABOR answered {e}")

    def drop_data_download(self):
        self.set_mode()
        conn = self.ftp.transfercmd("RETR big.bin")
        conn.recv(self.rnd.choice([1, 65536]))
        if self.rnd.random() < 0.5:
            self.hard_close(conn)
        else:
            conn.close()
        try:
            reply = self.ftp.voidresp()
            if reply == COMPLETE:
                self.ledger.problem("a download cut short was reported complete")
        except ftplib.error_temp:
            pass  # 426: aborted, as it should be
        self.resync()

    def drop_data_upload(self):
        # An upload ends when the client closes the data connection: whatever it sent is the
        # file, and a 226 promises exactly that.
        self.set_mode()
        name = self.new_name()
        data = payload(self.rnd, self.rnd.choice([1, 50_000, 900_000]))
        conn = self.ftp.transfercmd(f"STOR {name}")
        try:
            conn.sendall(data)
        finally:
            conn.close()
        try:
            reply = self.ftp.voidresp()
        except ftplib.error_temp:
            return
        if reply == COMPLETE:
            self.ledger.add_upload(name, data)
            self.ledger.count("uploads complete")

    def drop_control(self):
        """Vanishes without QUIT: idle, halfway through a command line, or during a transfer."""
        how = self.rnd.choice(["idle", "half line", "retr", "stor"])
        conn = None
        if how == "half line":
            self.ftp.sock.sendall(b"RETR big.b")
        elif how == "retr":
            self.set_mode()
            conn = self.ftp.transfercmd("RETR big.bin")
            conn.recv(4096)
        elif how == "stor":
            self.set_mode()
            conn = self.ftp.transfercmd(f"STOR {self.new_name()}")
            conn.sendall(payload(self.rnd, 100_000))
        if self.rnd.random() < 0.5:
            self.hard_close(self.ftp.sock)
        else:
            self.ftp.sock.close()
        if conn is not None:
            time.sleep(self.rnd.random() * 0.05)
            conn.close()
        raise SessionLost()

    def overlong_line(self):
        """A line beyond any real command: the server refuses it and closes the session."""
        size = self.rnd.choice([70_000, 200_000])
        try:
            self.ftp.sock.sendall(b"STOR " + b"x" * size + (b"\r\n" if self.rnd.random() < 0.5
                                                            else b""))
            self.ftp.sock.shutdown(socket.SHUT_WR)
            while self.ftp.sock.recv(65536):
                pass
        except OSError:
            pass
        raise SessionLost()

    def hostile(self):
        # A transfer command that failed (a file deleted meanwhile) leaves its PASV or PORT
        # prepared; ABOR drops it, so no line below opens a data connection.
        self.reply_of(b"ABOR")
        for _ in range(self.rnd.randint(1, 6)):
            line = self.rnd.choice(HOSTILE)
            reply = self.reply_of(line)
            if line in (b"REIN", b"PASS again"):
                self.ftp.login(USER, PASSWORD)  # whatever it did to the login, start over
                if self.tls:
                    self.ftp.prot_p()
            if b"passwd" in line and reply.startswith(("1", "2")):
                self.ledger.problem(f"{line!r} was answered {reply!r}")

    def listing(self):
        self.set_mode()
        target = self.rnd.choice(["", "*.bin", "-a", "-al", "no-such-dir", "../..", "c1-*"])
        lines = []
        command = self.rnd.choice(["LIST", "NLST"])
        try:
            self.ftp.retrlines(f"{command} {target}".strip(), lines.append)
        except ftplib.error_perm:
            pass

    def directories(self):
        folder = f"{self.prefix}dir{self.rnd.randint(0, 3)}"
        for command in (f"MKD {folder}", f"CWD {folder}", "PWD", "CDUP", f"RMD {folder}"):
            try:
                self.ftp.sendcmd(command)
            except ftplib.error_perm:
                pass
        self.ftp.sendcmd("CWD /")

    def delete_or_rename(self):
        name, data = self.ledger.take_upload(self.rnd, self.prefix)
        if name is None:
            return
        if self.rnd.random() < 0.5:
            self.ftp.sendcmd(f"DELE {name}")
            return
        new = self.new_name()
        self.ftp.sendcmd(f"RNFR {name}")
        self.ftp.sendcmd(f"RNTO {new}")
        self.ledger.add_upload(new, data)

    def pasv_twice(self):
        """A data connection serves one transfer: the second gets 425."""
        self.ftp.set_pasv(True)
        out = bytearray()
        self.ftp.retrbinary("RETR big.bin", out.extend, rest=BIG_SIZE - 1000)
        if bytes(out) != self.server.big[-1000:]:
            self.ledger.problem("a resumed download differs")
        reply = self.reply_of(b"RETR big.bin")
        if not reply.startswith("425"):
            self.ledger.problem(f"a second transfer without PASV was answered {reply!r}")

    def chunked_command(self):
        """A command line in pieces, as a slow network delivers it."""
        line = b"SIZE big.bin\r\n"
        cut = sorted(self.rnd.sample(range(1, len(line)), 3))
        for a, b in zip([0] + cut, cut + [len(line)]):
            self.ftp.sock.sendall(line[a:b])
            time.sleep(0.01)
        reply = self.ftp.getresp()
        if reply != f"213 {BIG_SIZE}":
            self.ledger.problem(f"a command in pieces was answered {reply!r}")


class StressServer(RunningServer):
    def __init__(self, tls):
        # A small quarantine keeps a sanitizer build's memory a measure of the server, not of
        # the sanitizer's recycling delay.
        options = os.environ.get("ASAN_OPTIONS", "")
        os.environ["ASAN_OPTIONS"] = (options + ":" if options else "") + "quarantine_size_mb=16"
        try:
            super().__init__(tls="require-explicit" if tls else "none")
        finally:
            if options:
                os.environ["ASAN_OPTIONS"] = options
            else:
                del os.environ["ASAN_OPTIONS"]
        self.big = random.Random(SEED).randbytes(BIG_SIZE)
        with open(os.path.join(self.root, "big.bin"), "wb") as f:
            f.write(self.big)


class FaultInjection(unittest.TestCase):
    def setUp(self):
        # ftplib leaves its active-mode listener to the collector when a command fails.
        warnings.simplefilter("ignore", ResourceWarning)

    def start(self, tls):
        self.tls = tls
        self.server = StressServer(tls)
        self.addCleanup(self.server.stop)

    def settle(self, baseline):
        deadline = time.monotonic() + SETTLE_TIMEOUT
        count = open_fd_count(self.server.proc.pid)
        while count > baseline and time.monotonic() < deadline:
            time.sleep(0.2)
            count = open_fd_count(self.server.proc.pid)
        return count

    def warm_up(self):
        """One session of every kind first, so that what the server creates once (workers,
        caches) is part of the baseline."""
        ledger = Ledger()
        client = Client(self.server, ledger, 999, time.monotonic() + 60, self.tls)
        client.ftp = client.connect()
        for passive in (True, False):
            client.ftp.set_pasv(passive)
            client.upload()
            client.download()
            client.listing()
            client.abort_download()
        client.ftp.quit()
        client.close_quietly(client.ftp)
        self.assertEqual(ledger.problems, [])

    def test_many_clients_with_faults(self):
        self.run_stress(tls=False)

    def test_many_clients_with_faults_over_tls(self):
        self.run_stress(tls=True)

    def run_stress(self, tls):
        self.start(tls)
        print(f"\nstress: seed {SEED} (replay with NB_STRESS_SEED={SEED}), {CLIENTS} clients, "
              f"{SECONDS:.0f}s{', explicit TLS' if tls else ''}", file=sys.stderr)
        pid = self.server.proc.pid
        self.warm_up()
        time.sleep(0.5)
        fds_before = open_fd_count(pid)
        rss_before = resident_kib(pid)

        ledger = Ledger()
        deadline = time.monotonic() + SECONDS
        clients = [Client(self.server, ledger, i, deadline, tls) for i in range(CLIENTS)]
        threads = [threading.Thread(target=c.run, daemon=True) for c in clients]
        for t in threads:
            t.start()
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()) + REPLY_TIMEOUT * 2)
        hung = [i for i, t in enumerate(threads) if t.is_alive()]

        counts = "\n".join(f"  {name}: {n}" for name, n in sorted(ledger.counts.items()))
        print(f"stress: actions and outcomes\n{counts}", file=sys.stderr)
        self.assertEqual(hung, [], "clients still waiting for the server")
        self.assertIsNone(self.server.proc.poll(), "the server died")
        self.assertEqual(ledger.problems, [])
        self.assertGreater(ledger.counts["uploads complete"], CLIENTS)
        self.assertGreater(ledger.counts["downloads complete"], CLIENTS)

        # Uploads reported complete are byte-exact in the server's root.
        for name, data in sorted(ledger.uploads.items()):
            with open(os.path.join(self.server.root, name), "rb") as f:
                self.assertEqual(f.read(), data, f"upload {name} differs on the server")

        # A new client is served as usual.
        fresh = open_session(self.server.port, tls)
        data = payload(random.Random(SEED), 123_457)
        self.assertEqual(fresh.storbinary("STOR fresh.bin", io.BytesIO(data)), COMPLETE)
        out = bytearray()
        self.assertEqual(fresh.retrbinary("RETR fresh.bin", out.extend), COMPLETE)
        self.assertEqual(bytes(out), data)
        self.assertIn("fresh.bin", fresh.nlst())
        self.assertEqual(fresh.quit(), "221 Bye Bye.")
        fresh.close()

        fds_after = self.settle(fds_before)
        rss_after = resident_kib(pid)
        bound = RSS_GROWTH_KIB + (RSS_GROWTH_SANITIZER_KIB if sanitized(self.server.proc.pid) else 0)
        print(f"stress: descriptors {fds_before} -> {fds_after}; resident memory "
              f"{rss_before} KiB -> {rss_after} KiB (bound +{bound} KiB); "
              f"{len(ledger.uploads)} uploads checked on the server", file=sys.stderr)
        self.assertLessEqual(fds_after, fds_before, "descriptors leaked")
        self.assertLessEqual(rss_after - rss_before, bound, "resident memory grew too much")
        self.assertEqual(self.server.stop(), 0, "the server did not stop cleanly")


if __name__ == "__main__":
    unittest.main()
