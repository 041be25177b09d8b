"""Drives the program's real window on a private X display, as an operator would: Xvfb for the
display, xdotool for the keyboard, xclip to read the log pane through the clipboard, ImageMagick's
import for screenshots. Used by test_window.py and by scripts/screenshot.sh.

Every wait is bounded; the display, the program and their scratch folder go away on close().
"""
import os
import shutil
import signal
import subprocess
import tempfile
import time

CAPTION = "Norbit FTP Server SSL / TLS"
TOOLS = ("Xvfb", "xdotool", "xclip")
STEP_TIMEOUT = 30  # seconds for one tool call or one wait


def missing_tools(extra=()):
    return [t for t in (*TOOLS, *extra) if not shutil.which(t)]


class WindowSession:
    """A private display with the program's window on it."""

    def __init__(self, server, args=(), size="1024x768"):
        self.tmp = tempfile.mkdtemp(prefix="nbftp-window-")
        self.home = os.path.join(self.tmp, "home", "operator")
        os.makedirs(self.home)
        self.xvfb = None
        self.proc = None
        try:
            self._start_display(size)
            env = dict(os.environ, DISPLAY=self.display, HOME=self.home,
                       NORBIT_KEYS_DIR=os.path.join(self.tmp, "keys"),
                       XDG_RUNTIME_DIR=self.tmp)
            env.pop("WAYLAND_DISPLAY", None)
            env.pop("QT_QPA_PLATFORM", None)
            self.env = env
            self.proc = subprocess.Popen([server, *args], env=env, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, text=True, errors="replace")
            self.window = self.tool("xdotool", "search", "--sync", "--onlyvisible", "--name",
                                    "^" + CAPTION + "$").split()[0]
            self.tool("xdotool", "windowfocus", "--sync", self.window)
        except BaseException:
            self.close()
            raise

    def _start_display(self, size):
        # -displayfd: the server picks a free display number and writes it to the pipe.
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size + "x24", "-nolisten",
             "tcp", "-noreset"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + STEP_TIMEOUT
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                chunk = pipe.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip():
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()

    def tool(self, *args):
        """Runs an X tool on the display; its standard output."""
        r = subprocess.run(args, env=self.env, capture_output=True, text=True,
                           timeout=STEP_TIMEOUT)
        if r.returncode != 0:
            raise RuntimeError(f"{' '.join(args)}: {r.stderr.strip()}")
        return r.stdout

    def keys(self, *keys):
        """Presses keys (xdotool names: Tab, space, ctrl+a) on the focused control."""
        self.tool("xdotool", "key", "--delay", "30", *keys)

    def type(self, text):
        self.tool("xdotool", "type", "--delay", "20", text)

    def copy_focused_text(self):
        """Selects everything in the focused text control and copies it (the selection is dropped
        again); the clipboard's text."""
        self.tool("xdotool", "key", "--delay", "30", "ctrl+a", "ctrl+c", "ctrl+End")
        # An empty control copies nothing, and xclip fails on an empty clipboard.
        r = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=self.env,
                           capture_output=True, text=True, timeout=STEP_TIMEOUT)
        return r.stdout if r.returncode == 0 else ""

    def screenshot(self, path):
        self.tool("import", "-window", self.window, path)

    def wait_until(self, predicate, timeout=STEP_TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(0.1)
        return predicate()

    def stop(self):
        """Ends the program with SIGTERM (it closes its window); its exit code and output."""
        if self.proc is None:
            return None, ""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            out, _ = self.proc.communicate(timeout=STEP_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate()
        code, self.proc = self.proc.returncode, None
        return code, out

    def close(self):
        self.stop()
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(STEP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
            self.xvfb = None
        shutil.rmtree(self.tmp, ignore_errors=True)
