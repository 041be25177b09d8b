"""Faults that real clients hit, against the real program: failed data connections, REST limits,
ls options, MODE and STRU, SIZE of a directory, byte 0xFF in names, Unix listings that wget and
ncftp mirror, and root directories the program cannot serve."""
import filecmp
import ftplib
import os
import resource
import shutil
import socket
import subprocess
import tempfile
import unittest

from nbftp_harness import (SERVER, USER, PASSWORD, RunningServer, ServerTestCase, free_port,
                           sanitized)
from test_ftplib import payload


def reply(ftp, command):
    """The reply line, whether the server accepted the command or not."""
    try:
        return ftp.sendcmd(command)
    except ftplib.all_errors as e:
        return str(e)


def closed_port():
    port = free_port()  # bound and closed again: nothing listens there
    return f"127,0,0,1,{port // 256},{port % 256}"


def raw_session(port):
    """A logged-in control connection that sends bytes exactly as given."""
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    f = s.makefile("rb")
    f.readline()
    for line in (f"USER {USER}", f"PASS {PASSWORD}"):
        s.sendall(line.encode() + b"\r\n")
        f.readline()
    return s, f


def make_tree(root):
    """Binary files, a 0-byte file and names with blanks, one level down too."""
    os.makedirs(os.path.join(root, "sub dir"))
    files = {
        "a.bin": payload(300_000, seed=21),
        "empty.bin": b"",
        "name with blanks.txt": b"blank\r\nnames\n",
        os.path.join("sub dir", "b.bin"): payload(70_000, seed=22),
        os.path.join("sub dir", "zero"): b"",
    }
    for name, data in files.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)


def assert_same_tree(test, left, right):
    cmp = filecmp.dircmp(left, right)
    test.assertEqual((cmp.left_only, cmp.right_only, cmp.funny_files), ([], [], []))
    _, mismatch, errors = filecmp.cmpfiles(left, right, cmp.common_files, shallow=False)
    test.assertEqual((mismatch, errors), ([], []))
    for sub in cmp.common_dirs:
        assert_same_tree(test, os.path.join(left, sub), os.path.join(right, sub))


class Commands(ServerTestCase):
    def setUp(self):
        self.ftp = self.server.client()

    def tearDown(self):
        self.ftp.close()

    def test_a_data_connection_that_cannot_be_made_fails_only_the_command(self):
        ftp = self.ftp
        self.assertEqual(reply(ftp, "PORT " + closed_port()), "200 PORT command successful.")
        self.assertTrue(reply(ftp, "LIST").startswith("425 "))
        self.assertEqual(reply(ftp, "NOOP"), "200 NOOP command successful.")
        # No descriptor left in the server: a prepared STOR (which opens the data connection
        # before the file) and PASV fail, the session goes on.
        self.assertEqual(reply(ftp, "PORT " + closed_port()), "200 PORT command successful.")
        pid = self.server.proc.pid
        if sanitized(pid):
            # The sanitizers need descriptors of their own to check memory.
            self.skipTest("a sanitizer build cannot run out of descriptors")
        limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        used = {int(fd) for fd in os.listdir(f"/proc/{pid}/fd")}
        lowest_free = next(fd for fd in range(len(used) + 1) if fd not in used)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (lowest_free, limits[1]))
        try:
            for command in ("PASV", "STOR nofd.bin"):
                self.assertRegex(reply(ftp, command), "^425 ")
        finally:
            resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)
        self.assertEqual(reply(ftp, "NOOP"), "200 NOOP command successful.")
        self.assertNotIn("nofd.bin", ftp.nlst())

    def test_command_arguments_real_clients_send(self):
        os.makedirs(self.root_path("d"), exist_ok=True)
        rows = [
            ("REST 9999999999999999999", "501 invalid argument"),
            ("REST 9223372036854775808", "501 invalid argument"),
            ("REST 9223372036854775807", "350 Restarting at 9223372036854775807."),
            ("REST -1", "501 invalid argument"),
            ("MODE S", "200 Mode S ok."),
            ("MODE B", "504 Command not implemented for that parameter."),
            ("MODE C", "504 Command not implemented for that parameter."),
            ("MODE Z", "504 Command not implemented for that parameter."),
            ("STRU F", "200 STRU F ok."),
            ("STRU R", "504 Command not implemented for that parameter."),
            ("STRU P", "504 Command not implemented for that parameter."),
            ("SIZE d", "550 d: The system cannot find the file specified."),
            ("SYST", "215 UNIX Type: L8"),
        ]
        for command, expected in rows:
            with self.subTest(command=command):
                self.assertEqual(reply(self.ftp, command), expected)

    def test_ls_options_are_not_paths(self):
        os.makedirs(self.root_path("opts", "sub"), exist_ok=True)
        for name in ("opts/.hidden", "opts/shown", "opts/sub/inner"):
            open(self.root_path(*name.split("/")), "wb").close()
        self.ftp.cwd("/opts")
        rows = [
            ("LIST -la", {".hidden", "shown", "sub"}),
            ("LIST -l", {"shown", "sub"}),
            ("LIST -R", {"shown", "sub"}),
            ("LIST -a -l", {".hidden", "shown", "sub"}),
            ("LIST -la sub", {"inner"}),
            ("NLST -a", {".hidden", "shown", "sub"}),
        ]
        for command, names in rows:
            with self.subTest(command=command):
                lines = []
                self.assertEqual(self.ftp.retrlines(command, lines.append),
                                 "226 Transfer complete.")
                got = {l if command.startswith("NLST") else l.split(None, 8)[8] for l in lines}
                self.assertEqual(got, names)

    def test_byte_ff_is_data_unless_it_starts_a_telnet_command(self):
        name = b"\xec\xee\xff"  # "моя" in Windows-1251
        with open(os.path.join(self.server.root.encode(), name), "wb") as f:
            f.write(b"1234")
        s, f = raw_session(self.server.port)
        rows = [
            (b"SIZE " + name, b"213 4"),
            (b"SIZE \xec\xee\xff\xff", b"213 4"),  # IAC IAC is one 0xFF
            (b"\xff\xf4\xff\xf2SIZE " + name, b"213 4"),  # Telnet IP and DM before it
            (b"SIZE \xec\xee", b"550 "),
        ]
        try:
            for command, expected in rows:
                with self.subTest(command=command):
                    s.sendall(command + b"\r\n")
                    self.assertTrue(f.readline().startswith(expected))
        finally:
            f.close()
            s.close()
        with ftplib.FTP(encoding="latin-1") as ftp:  # sends the name's bytes unchanged
            ftp.connect("127.0.0.1", self.server.port, timeout=30)
            ftp.login(USER, PASSWORD)
            data = []
            ftp.retrbinary("RETR " + name.decode("latin-1"), data.append)
        self.assertEqual(b"".join(data), b"1234")


class Mirroring(ServerTestCase):
    def setUp(self):
        self.local = tempfile.mkdtemp(prefix="nbftp-mirror-")
        if not os.path.isdir(self.root_path("tree")):
            make_tree(self.root_path("tree"))

    def tearDown(self):
        shutil.rmtree(self.local, ignore_errors=True)

    @unittest.skipUnless(shutil.which("wget"), "wget is not installed")
    def test_wget_mirrors_a_tree(self):
        r = subprocess.run(["wget", "-q", "-r", "-nH", "-P", self.local, "--timeout=60",
                            self.server.url("tree/")], capture_output=True, timeout=300)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        assert_same_tree(self, self.root_path("tree"), os.path.join(self.local, "tree"))

    @unittest.skipUnless(shutil.which("ncftpget"), "ncftpget is not installed")
    def test_ncftpget_mirrors_a_tree(self):
        r = subprocess.run(["ncftpget", "-R", "-V", "-t", "60", "-u", USER, "-p", PASSWORD,
                            "-P", str(self.server.port), "127.0.0.1", self.local, "/tree"],
                           capture_output=True, timeout=300, env={**os.environ, "HOME": self.local})
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        assert_same_tree(self, self.root_path("tree"), os.path.join(self.local, "tree"))


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class Program(unittest.TestCase):
    def test_listing_msdos_gives_the_window_values(self):
        server = RunningServer(extra_args=("--listing", "msdos"))
        try:
            os.makedirs(os.path.join(server.root, "d"))
            ftp = server.client()
            self.assertEqual(ftp.sendcmd("SYST"), "215 Windows 9x/NT.")
            lines = []
            ftp.retrlines("LIST", lines.append)
            self.assertRegex(lines[0], r"^\d\d-\d\d-\d\d  \d\d:\d\d[AP]M       <DIR>          d$")
            ftp.close()
        finally:
            self.assertEqual(server.stop(), 0)

    def test_a_root_the_program_cannot_serve_is_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            a_file = os.path.join(tmp, "file")
            open(a_file, "w").close()
            dangling = os.path.join(tmp, "dangling")
            os.symlink(os.path.join(tmp, "gone"), dangling)
            for root, words in ((a_file, "is not a directory"), (dangling, "cannot be used")):
                with self.subTest(root=root):
                    r = subprocess.run([SERVER, "--headless", "--tls", "none", "--port",
                                        str(free_port()), "--root", root],
                                       capture_output=True, text=True, timeout=30)
                    self.assertEqual(r.returncode, 1)
                    self.assertIn(f"Root directory '{root}' {words}", r.stderr)

    def test_a_missing_root_is_created_and_logged(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = os.path.join(tmp, "new", "root")
            proc = subprocess.Popen([SERVER, "--headless", "--tls", "none", "--port",
                                     str(free_port()), "--root", root],
                                    stdout=subprocess.PIPE, text=True)
            try:
                lines = [proc.stdout.readline().rstrip("\n") for _ in range(3)]
            finally:
                proc.terminate()
                self.assertEqual(proc.wait(30), 0)
                proc.stdout.close()
            self.assertEqual(lines, ["==================", "Start Server",
                                     "Root directory created: " + root])
            self.assertTrue(os.path.isdir(root))


if __name__ == "__main__":
    unittest.main()
