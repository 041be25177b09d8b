"""The real program in its window on a private X display: the operator's keys choose the port and
the plain mode and press Start, curl lists the root, Stop, and the log pane holds the session;
then the same over implicit TLS."""
import os
import signal
import socket
import subprocess
import tempfile
import unittest

from nbftp_harness import SERVER, USER, PASSWORD, free_port
from nbwindow_driver import WindowSession, missing_tools


def log_lines(session):
    return session.copy_focused_text().splitlines()


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
@unittest.skipIf(missing_tools(("curl",)), "needs " + " ".join(missing_tools(("curl",))))
class Window(unittest.TestCase):
    def test_start_in_the_window_serve_curl_and_stop(self):
        port = free_port()
        session = WindowSession(SERVER)
        try:
            # The port field has the focus; Tab walks port, root, TLS list, Start, Stop, log.
            session.keys("ctrl+a")
            session.type(str(port))
            session.keys("Tab", "Tab", "Home")  # the TLS list's first item: "None"
            session.keys("Tab", "space", "Tab", "Tab")  # Start, then on to the log pane
            self.assertTrue(session.wait_until(lambda: "Start Server" in log_lines(session)),
                            "the server did not start")

            # The default root directory, below the program's home, was made by Start.
            root = os.path.join(session.home, "NorbitFtpServer")
            with open(os.path.join(root, "hello.txt"), "w") as f:
                f.write("hello\n")
            r = subprocess.run(["curl", "-sS", "--max-time", "60", "-l", "-u",
                                f"{USER}:{PASSWORD}", f"ftp://127.0.0.1:{port}/"],
                               capture_output=True, text=True, timeout=90)
            self.assertEqual((r.returncode, r.stdout.split()), (0, ["hello.txt"]), r.stderr)

            self.assertTrue(session.wait_until(
                lambda: "Close Connection. Host: 127.0.0.1" in log_lines(session)))
            session.keys("shift+Tab", "space", "Tab")  # Stop, then back to the log pane
            self.assertTrue(session.wait_until(lambda: log_lines(session)[-1:] == ["Stop Server"]))
            lines = log_lines(session)
            self.assertEqual(lines[:3], ["==================", "Start Server",
                                         "Accept Connection. Host: 127.0.0.1"])
            for line in ("Reply: 220 Norbit Internet Suite FTP service",
                         f"Command: USER {USER}", "Command: PASS <password>",
                         f"Authenticate user: {USER}", "Command: NLST ",
                         "Reply: 226 Transfer complete."):
                self.assertIn(line, lines)
            self.assertNotIn(PASSWORD, "\n".join(lines))
            self.assertFalse(accepts(port), "still listening after Stop")

            # Implicit TLS: the second item of the list, Start again, curl over ftps://.
            session.keys("shift+Tab", "shift+Tab", "shift+Tab", "Home", "Down")
            session.keys("Tab", "space", "Tab", "Tab")
            self.assertTrue(session.wait_until(
                lambda: log_lines(session).count("Start Server") == 2), "no TLS start")
            r = subprocess.run(["curl", "-sS", "-k", "--max-time", "60", "-l", "-u",
                                f"{USER}:{PASSWORD}", f"ftps://127.0.0.1:{port}/"],
                               capture_output=True, text=True, timeout=90)
            self.assertEqual((r.returncode, r.stdout.split()), (0, ["hello.txt"]), r.stderr)
            self.assertTrue(session.wait_until(
                lambda: log_lines(session).count("Close Connection. Host: 127.0.0.1") == 2))
            session.keys("shift+Tab", "space", "Tab")
            self.assertTrue(session.wait_until(lambda: log_lines(session)[-1:] == ["Stop Server"]))
            self.assertIn("TLS data connection. Host: 127.0.0.1, session resumed",
                          log_lines(session))

            code, output = session.stop()
            self.assertEqual(code, 0, output)
        finally:
            session.close()


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class NoDisplay(unittest.TestCase):
    def test_without_a_display_the_program_runs_headless(self):
        with tempfile.TemporaryDirectory() as tmp:
            env = {k: v for k, v in os.environ.items()
                   if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
            env.update(HOME=tmp, NORBIT_KEYS_DIR=os.path.join(tmp, "keys"))
            proc = subprocess.Popen([SERVER, "--port", str(free_port()), "--root", tmp,
                                     "--tls", "none"], env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
            try:
                self.assertEqual(proc.stdout.readline(), "==================\n")
                self.assertEqual(proc.stdout.readline(), "Start Server\n")
                proc.send_signal(signal.SIGTERM)
                out, err = proc.communicate(timeout=30)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.communicate()
            self.assertEqual((proc.returncode, out, err), (0, "Stop Server\n", ""))


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2):
            return True
    except OSError:
        return False


if __name__ == "__main__":
    unittest.main()
