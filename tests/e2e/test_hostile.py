"""Hostile clients against the real program with its defaults: password guessing, connection
rates, over-long lines and echoes, clients that never read, pipelining floods, and a log that
nobody reads or whose reader has gone.

Timing checks only ever bound from the side a slow machine cannot break: "no more than N
answers within T seconds" holds all the better when the server is slow.
"""
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from nbftp_harness import (PASSWORD, SERVER, USER, RunningServer, ServerTestCase,
                           free_port, resident_kib, sanitized)

LINE_CEILING = 8 * 1024 - 2  # bytes of a command line without its CR LF
ECHO = 512                   # bytes of client text a reply repeats


def setUpModule():
    global KEYS
    KEYS = tempfile.mkdtemp(prefix="nbftp-keys-")
    os.environ["NORBIT_KEYS_DIR"] = KEYS


def tearDownModule():
    shutil.rmtree(KEYS, ignore_errors=True)


class Control:
    """A raw control connection: send bytes, read replies line by line."""

    def __init__(self, port, rcvbuf=None, timeout=30):
        self.sock = socket.socket()
        if rcvbuf:
            # Small buffers both ways: what the server does not take piles up quickly.
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 * rcvbuf)
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.data = b""

    def send(self, text):
        self.sock.sendall(text.encode("latin-1") if isinstance(text, str) else text)

    def line(self):
        """The next reply line without CR LF; None once the server has closed."""
        while b"\r\n" not in self.data:
            chunk = self.sock.recv(65536)
            if not chunk:
                return None
            self.data += chunk
        line, self.data = self.data.split(b"\r\n", 1)
        return line.decode("latin-1")

    def reply(self, text=None):
        if text is not None:
            self.send(text + "\r\n")
        return self.line()

    def login(self):
        assert self.line().startswith("220 ")
        assert self.reply("USER " + USER).startswith("331 ")
        assert self.reply("PASS " + PASSWORD).startswith("230 ")

    def closed_within(self, seconds):
        self.sock.settimeout(seconds)
        try:
            while True:
                if not self.sock.recv(65536):
                    return True
        except socket.timeout:
            return False
        except OSError:
            return True

    def close(self):
        self.sock.close()


def spawn(stdout, *args):
    """The program with its log going to `stdout` (a pipe the test controls)."""
    tmp = tempfile.mkdtemp(prefix="nbftp-e2e-")
    port = free_port()
    proc = subprocess.Popen([SERVER, "--headless", "--port", str(port), "--root",
                             os.path.join(tmp, "root"), "--tls", "none", *args],
                            stdout=stdout, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if time.monotonic() > deadline or proc.poll() is not None:
                proc.kill()
                raise RuntimeError("server did not start")
            time.sleep(0.05)
    return proc, port, tmp


def end(proc, tmp):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    shutil.rmtree(tmp, ignore_errors=True)
    return proc.returncode


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class Guard(unittest.TestCase):
    def test_parallel_password_guesses_get_about_one_answer_a_second(self):
        server = RunningServer()
        clients = []
        try:
            for i in range(30):
                c = Control(server.port)
                self.assertTrue(c.line().startswith("220 "))
                self.assertTrue(c.reply(f"USER guess{i}").startswith("331 "))
                clients.append(c)
            start = time.monotonic()
            for c in clients:
                c.send("PASS wrong\r\n")
            # Within 6 s: 3 free failures and one answer per second after them, at most.
            answered = 0
            pending = {c.sock: c for c in clients}
            while pending and time.monotonic() - start < 6:
                ready, _, _ = select.select(list(pending), [], [], 0.1)
                for sock in ready:
                    self.assertTrue(pending.pop(sock).line().startswith("530 "))
                    answered += 1
            self.assertGreater(answered, 0)
            self.assertLessEqual(answered, 12, "guesses are not bounded per address")
        finally:
            for c in clients:
                c.close()
            server.stop()

    def test_connection_rate_is_limited_only_when_asked(self):
        server = RunningServer()
        try:
            for _ in range(10):
                c = Control(server.port)
                self.assertTrue(c.line().startswith("220 "), "the default admits every client")
                c.close()
        finally:
            server.stop()
        server = RunningServer(extra_args=("--max-connections-per-minute", "3"))
        try:
            for _ in range(3):
                c = Control(server.port)
                self.assertTrue(c.line().startswith("220 "))
                c.close()
            c = Control(server.port)
            self.assertIsNone(c.line(), "the fourth connection in the minute is refused")
            c.close()
        finally:
            server.stop()


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class Limits(ServerTestCase):
    def test_a_line_may_fill_8_kib_and_no_more(self):
        c = Control(self.server.port)
        c.login()
        name = "n" * (LINE_CEILING - len("CWD "))
        self.assertEqual(c.reply("CWD " + name)[:4], "550 ")
        c.send("CWD " + name + "n\r\n")
        self.assertTrue(c.closed_within(10), "a longer line ends the connection")
        c.close()
        # An unfinished line past the ceiling is not kept waiting either.
        c = Control(self.server.port)
        c.login()
        c.send("CWD " + "u" * (LINE_CEILING + 100))
        self.assertTrue(c.closed_within(10))
        c.close()

    def test_replies_echo_at_most_512_bytes_of_client_text(self):
        c = Control(self.server.port)
        self.assertTrue(c.line().startswith("220 "))
        self.assertEqual(c.reply("USER " + "a" * 2000),
                         "331 Password required for " + "a" * ECHO + "....")
        self.assertEqual(c.reply("USER " + "b" * ECHO), "331 Password required for " + "b" * ECHO + ".")
        self.assertTrue(c.reply("USER " + USER).startswith("331 "))
        self.assertTrue(c.reply("PASS " + PASSWORD).startswith("230 "))
        reply = c.reply("CWD " + "c" * 4000)  # answered with its path, "/ccc..."
        self.assertTrue(reply.startswith("550 /" + "c" * (ECHO - 1) + "...: "), reply[:80])
        self.assertLess(len(reply), ECHO + 100)
        # A path beyond 4096 bytes is refused as such.
        self.assertTrue(c.reply("CWD " + "p" * 5000).endswith(": File name too long."))
        c.close()

    def test_clients_that_flood_and_never_read_are_held_not_closed_nor_buffered(self):
        before = resident_kib(self.server.proc.pid)
        line = b"CWD " + b"d" * 8000 + b"\r\n"
        clients, unsent, sent = [], [], []
        for _ in range(20):
            c = Control(self.server.port, rcvbuf=4096)
            c.login()
            c.sock.setblocking(False)
            clients.append(c)
            unsent.append(memoryview(line))
            sent.append(0)
        # Send until the server has stopped taking input from every one of them.
        quiet = time.monotonic()
        while time.monotonic() - quiet < 2:
            for i, c in enumerate(clients):
                try:
                    n = c.sock.send(unsent[i])
                except BlockingIOError:
                    continue
                quiet = time.monotonic()
                unsent[i] = unsent[i][n:]
                if not len(unsent[i]):
                    unsent[i] = memoryview(line)
                    sent[i] += 1
            time.sleep(0.01)
        grown = resident_kib(self.server.proc.pid) - before
        # A sanitizer's redzones, shadow and quarantine measure the sanitizer, not the server.
        if not sanitized(self.server.proc.pid):
            self.assertLess(grown, 20 * 100, f"{grown} KiB for 20 clients that do not read")
        # Held, not closed: once a client reads, every command it sent is answered.
        c = clients[0]
        c.sock.setblocking(True)
        c.sock.settimeout(60)
        rest = threading.Thread(target=c.send, args=(bytes(unsent[0]) + b"NOOP\r\n",))
        rest.start()
        count = sent[0] + (1 if len(unsent[0]) < len(line) else 0)
        replies = [c.line() for _ in range(count + 1)]
        rest.join(30)
        self.assertTrue(all(r and r.startswith("550 ") for r in replies[:-1]))
        self.assertEqual(replies[-1], "200 NOOP command successful.")
        for c in clients:
            c.close()

    def test_300_pipelined_commands_are_all_answered_in_order_once_the_client_reads(self):
        c = Control(self.server.port, rcvbuf=4096)
        c.login()
        requests = "".join(f"CWD i{i}-" + "x" * 3000 + "\r\n" for i in range(300))
        sender = threading.Thread(target=c.send, args=(requests,))
        sender.start()
        time.sleep(1)  # the client does not read meanwhile
        replies = [c.line() for _ in range(300)]
        sender.join(30)
        for i, reply in enumerate(replies):
            self.assertTrue(reply and reply.startswith(f"550 /i{i}-"), (i, (reply or "")[:20]))
        self.assertEqual(c.reply("NOOP"), "200 NOOP command successful.")
        c.close()


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class Log(unittest.TestCase):
    def test_a_log_nobody_reads_does_not_stop_a_fresh_session_and_drops_are_counted(self):
        proc, port, tmp = spawn(subprocess.PIPE)
        try:
            # Far more log than the pipe and the server's backlog hold.
            c = Control(port)
            self.assertTrue(c.line().startswith("220 "))
            for i in range(300):
                self.assertTrue(c.reply(f"USER u{i}" + "l" * 4000).startswith("331 "))
            fresh = Control(port, timeout=10)
            fresh.login()
            self.assertTrue(fresh.reply("PWD").startswith("257 "))
            fresh.close()
            c.close()
            proc.send_signal(signal.SIGTERM)
            log = proc.stdout.read().decode("latin-1")
            self.assertEqual(proc.wait(30), 0)
            self.assertRegex(log, r"\(\d+ log lines dropped\)")
            # Whole lines only, the last one included (it may be a count of dropped lines).
            self.assertTrue(log.endswith("\n"), log[-200:])
        finally:
            proc.stdout.close()
            end(proc, tmp)

    def test_a_log_whose_reader_has_gone_stops_the_log_not_the_server(self):
        proc, port, tmp = spawn(subprocess.PIPE)
        try:
            proc.stdout.close()  # like `... | head` ending
            for _ in range(3):
                c = Control(port)
                c.login()
                self.assertTrue(c.reply("PWD").startswith("257 "))
                c.close()
            self.assertIsNone(proc.poll(), "the server died with its log")
        finally:
            self.assertEqual(end(proc, tmp), 0)

    def test_control_characters_from_clients_are_escaped_in_the_log(self):
        server = RunningServer()
        try:
            c = Control(server.port)
            self.assertTrue(c.line().startswith("220 "))
            c.reply("USER evil\x1b[2J\x1b]0;owned\x07.")
            c.close()
            self.assertTrue(server.wait_for_log(
                lambda l: l == "Command: USER evil\\x1b[2J\\x1b]0;owned\\x07."))
            self.assertFalse(any("\x1b" in l or "\x07" in l for l in server.log()))
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main()
