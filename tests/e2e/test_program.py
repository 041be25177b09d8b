"""The server program itself: start errors, signals and its log."""
import os
import signal
import socket
import ssl
import subprocess
import tempfile
import unittest

from nbftp_harness import SERVER, RunningServer, free_port


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class Program(unittest.TestCase):
    def start_error(self, *args):
        with tempfile.TemporaryDirectory() as root:
            r = subprocess.run([SERVER, "--headless", "--root", root, *args],
                               capture_output=True, text=True, timeout=30)
        return r.returncode, r.stderr.strip()

    def test_port_text_that_is_no_integer(self):
        self.assertEqual(self.start_error("--port", "abc", "--tls", "none"),
                         (1, "'abc' is not a valid integer value"))

    def test_port_in_use(self):
        with socket.socket() as busy:
            busy.bind(("0.0.0.0", 0))
            busy.listen()
            code, message = self.start_error("--port", str(busy.getsockname()[1]), "--tls", "none")
        self.assertEqual(code, 1)
        self.assertTrue(message, "the system's text for the busy port")

    def test_every_tls_mode_starts_and_greets_in_its_way(self):
        # Implicit: a TLS handshake first; explicit: a plain greeting that offers AUTH.
        for mode in ("implicit", "allow-explicit", "require-explicit"):
            with self.subTest(mode=mode):
                server = RunningServer(tls=mode)
                try:
                    with socket.create_connection(("127.0.0.1", server.port), timeout=30) as s:
                        if mode == "implicit":
                            context = ssl.create_default_context()
                            context.check_hostname = False
                            context.verify_mode = ssl.CERT_NONE
                            with context.wrap_socket(s) as t:
                                self.assertTrue(t.recv(1024).startswith(b"220 "))
                        else:
                            self.assertTrue(s.recv(1024).startswith(b"220 "))
                finally:
                    self.assertEqual(server.stop(), 0)

    def test_sigint_stops_with_log_and_creates_missing_root(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = os.path.join(tmp, "a", "b")
            server = RunningServer(root=root)
            self.assertTrue(os.path.isdir(root))
            ftp = server.client()
            server.proc.send_signal(signal.SIGINT)
            self.assertEqual(server.proc.wait(30), 0)
            ftp.close()
            server.stop()
            log = server.log()
            self.assertEqual(log[:2], ["==================", "Start Server"])
            self.assertEqual(log[-1], "Stop Server")
            # Connections closed by Stop write no "Close Connection" line.
            self.assertFalse(any(l.startswith("Close Connection") for l in log))


if __name__ == "__main__":
    unittest.main()
