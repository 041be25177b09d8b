"""The server program itself: start errors, signals and its log."""
import os
import signal
import socket
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

    def test_tls_modes_fail_clearly_until_the_tls_layer_exists(self):
        code, message = self.start_error("--port", str(free_port()), "--tls", "implicit")
        self.assertEqual(code, 1)
        self.assertIn("TLS", message)

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
