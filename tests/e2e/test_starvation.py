"""No session waits behind another: slow clients, data connections that never come, blocked
sends and closing clients must not keep the program (with its default five command threads)
from answering anyone else, nor keep ABOR from answering at once.

Every "promptly" below is a generous bound (PROMPT seconds) that a slow machine meets easily,
while a server whose workers are all tied up answers only after the data time-out (about a
minute) or never.
"""
import os
import socket
import tempfile
import threading
import time
import unittest

from nbftp_harness import PASSWORD, USER, ServerTestCase, open_fd_count

os.environ.setdefault("NORBIT_KEYS_DIR", tempfile.mkdtemp(prefix="nbftp-keys-"))

PROMPT = 5.0         # seconds: "promptly"
SESSIONS = 5         # the program's default MaxThreadCount: one more than this used to stall
BIG = 64 << 20       # bytes: far more than the socket buffers hold, so a non-reader blocks a send
ABOR_ROUNDS = 64     # RETR and ABOR in one write, in a row: past the queue's 4 KiB of commands


class Control:
    """A raw control connection that reads reply lines with a deadline."""

    def __init__(self, port, timeout=PROMPT):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffer = b""

    def line(self, timeout=PROMPT):
        deadline = time.monotonic() + timeout
        while b"\r\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no reply within %.1f s" % timeout)
            self.sock.settimeout(left)
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("control connection closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line.decode("latin-1")

    def reply(self, timeout=PROMPT):
        """One whole reply (multi-line replies end with "ddd " on their last line)."""
        first = self.line(timeout)
        if len(first) > 3 and first[3] == "-":
            while True:
                more = self.line(timeout)
                if more[:3] == first[:3] and more[3:4] == " ":
                    break
        return first

    def send(self, text):
        self.sock.sendall(text.encode("latin-1"))

    def cmd(self, text, timeout=PROMPT):
        self.send(text + "\r\n")
        return self.reply(timeout)

    def login(self, user=USER, password=PASSWORD):
        assert self.reply().startswith("220")
        assert self.cmd("USER " + user).startswith("331")
        assert self.cmd("PASS " + password).startswith("230")

    def pasv(self):
        reply = self.cmd("PASV")
        assert reply.startswith("227"), reply
        numbers = reply[reply.index("(") + 1:reply.index(")")].split(",")
        return int(numbers[4]) * 256 + int(numbers[5])

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def small_receive_buffer():
    """A data socket that takes little before the server's send blocks."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    return sock


class StarvationTest(ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(os.path.join(cls.server.root, "big.bin"), "wb") as f:
            f.truncate(BIG)  # sparse: costs no disk
        with open(os.path.join(cls.server.root, "small.txt"), "wb") as f:
            f.write(b"small\n")

    def setUp(self):
        self.opened = []

    def tearDown(self):
        for thing in self.opened:
            try:
                thing.close()
            except OSError:
                pass

    def control(self):
        c = Control(self.server.port)
        self.opened.append(c)
        return c

    def passive_session(self):
        """A logged-in session with a connected passive data socket that reads nothing."""
        c = self.control()
        c.login()
        port = c.pasv()
        data = small_receive_buffer()
        self.opened.append(data)
        data.connect(("127.0.0.1", port))
        return c, data

    def stalled_download(self):
        """A session whose RETR of big.bin waits on a data connection nobody reads."""
        c, data = self.passive_session()
        reply = c.cmd("RETR big.bin")
        self.assertTrue(reply.startswith("150"), reply)
        return c, data

    def assert_fresh_session_is_served(self):
        """connect, greeting, login, PWD, PASV + LIST and QUIT, each promptly."""
        started = time.monotonic()
        c = self.control()
        c.login()
        self.assertTrue(c.cmd("PWD").startswith("257"))
        port = c.pasv()
        data = socket.create_connection(("127.0.0.1", port), timeout=PROMPT)
        self.opened.append(data)
        self.assertTrue(c.cmd("LIST").startswith("150"))
        listing = b""
        while True:
            chunk = data.recv(65536)
            if not chunk:
                break
            listing += chunk
        self.assertIn(b"small.txt", listing)
        self.assertTrue(c.reply().startswith("226"))
        self.assertTrue(c.cmd("QUIT").startswith("221"))
        self.assertLess(time.monotonic() - started, 4 * PROMPT)

    def test_slow_downloads_leave_room_for_a_fresh_session(self):
        stop = threading.Event()

        def slow_reader(sock):
            # 4 KiB every half second: the server's sends to this client block most of the time.
            while not stop.is_set():
                try:
                    if not sock.recv(4096):
                        return
                except OSError:
                    return
                stop.wait(0.5)

        readers = []
        try:
            for _ in range(SESSIONS):
                _, data = self.stalled_download()
                reader = threading.Thread(target=slow_reader, args=(data,), daemon=True)
                reader.start()
                readers.append(reader)
            self.assert_fresh_session_is_served()
        finally:
            stop.set()

    def test_passive_transfers_that_are_never_connected_leave_room_for_a_fresh_session(self):
        for _ in range(SESSIONS):
            c = self.control()
            c.login("anonymous", "guest@example.org")
            c.pasv()
            c.send("LIST\r\n")  # the data connection never comes: the server waits for it
        time.sleep(0.3)  # let every LIST reach its wait
        self.assert_fresh_session_is_served()

    def test_abor_is_answered_while_the_transfers_are_blocked_in_a_send(self):
        # As many blocked transfers as the pool has threads: ABOR must still reach each one.
        sessions = [self.stalled_download() for _ in range(SESSIONS)]
        time.sleep(0.5)  # the sends fill the buffers and block
        for c, _ in sessions:
            started = time.monotonic()
            c.send("ABOR\r\n")
            self.assertTrue(c.reply().startswith("426"))
            self.assertTrue(c.reply().startswith("226"))
            self.assertLess(time.monotonic() - started, PROMPT)
            self.assertTrue(c.cmd("NOOP").startswith("200"), "the session goes on")

    def test_abor_in_the_same_write_as_retr_aborts_it(self):
        c, data = self.passive_session()
        # Again and again: an ABOR handed on to the blocked transfer must leave nothing of the
        # session's queue bounds behind, or its input would be held for good after a few dozen.
        for attempt in range(ABOR_ROUNDS):
            if attempt:
                data.close()
                data = small_receive_buffer()
                self.opened.append(data)
                data.connect(("127.0.0.1", c.pasv()))
            started = time.monotonic()
            c.send("RETR big.bin\r\nABOR\r\n")
            replies = []
            while not replies or not replies[-1].startswith("226"):
                replies.append(c.reply())
            self.assertLess(time.monotonic() - started, PROMPT, replies)
            self.assertIn("426", [r[:3] for r in replies], (attempt, replies))
        self.assertTrue(c.cmd("NOOP").startswith("200"), "the session goes on")

    def test_a_closing_control_connection_ends_its_transfer_while_the_pool_is_busy(self):
        baseline = open_fd_count(self.server.proc.pid)
        sessions = [self.stalled_download() for _ in range(SESSIONS)]
        self.assertGreater(open_fd_count(self.server.proc.pid), baseline)
        for c, _ in sessions:
            # A command waiting behind the transfer, then the close: the close must not wait
            # for that command, nor for a worker.
            c.send("QUIT\r\n")
            c.close()
        deadline = time.monotonic() + PROMPT
        while open_fd_count(self.server.proc.pid) > baseline and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertLessEqual(open_fd_count(self.server.proc.pid), baseline,
                             "the transfers of closed sessions still hold their descriptors")
        self.assert_fresh_session_is_served()


if __name__ == "__main__":
    unittest.main()
