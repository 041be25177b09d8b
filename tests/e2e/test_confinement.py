"""Symbolic links never lead a client out of the root, and an upload never destroys the file it
replaces unless it succeeds. Driven against the real program as a hostile client would."""
import ctypes
import ftplib
import hashlib
import io
import os
import shutil
import socket
import struct
import subprocess
import threading
import unittest

from nbftp_harness import ServerTestCase, USER, PASSWORD

SECRET = b"SECRET outside the root\n"
VICTIM = b"VICTIM outside the root\n"
PARENT = b"PARENT of the root\n"
INSIDE = b"INSIDE the root\n"


def snapshot(top):
    """Every entry below top with its kind and content, to see that nothing changed."""
    state = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, top)
            if os.path.islink(path):
                state[rel] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                state[rel] = ("dir",)
            else:
                with open(path, "rb") as f:
                    state[rel] = ("file", f.read())
    return state


def retr(ftp, name):
    out = io.BytesIO()
    ftp.retrbinary("RETR " + name, out.write)
    return out.getvalue()


def listing(ftp, command="LIST"):
    lines = []
    ftp.retrlines(command, lines.append)
    return lines


def exchange(a, b):
    """Swaps two names atomically (renameat2 with RENAME_EXCHANGE)."""
    libc = ctypes.CDLL(None, use_errno=True)
    at_fdcwd, rename_exchange = -100, 2
    if libc.renameat2(at_fdcwd, a.encode(), at_fdcwd, b.encode(), rename_exchange) != 0:
        raise OSError(ctypes.get_errno(), "renameat2")


class Confinement(ServerTestCase):
    """Layout (made fresh for every test):
        <tmp>/a.txt                       PARENT (what "../a.txt" from the root reaches)
        <tmp>/parent_only.txt             PARENT (a name only the root's parent has)
        <tmp>/outside/secret.txt          SECRET
        <tmp>/outside/dir/victim.txt      VICTIM, and <tmp>/outside/dir/sub/
        root/a.txt, root/d1/, root/sub/   INSIDE
        root/link_file -> ../outside/secret.txt    root/link_dir -> ../outside/dir
        root/dang -> ../outside/new.txt            root/abs_out -> <tmp>/outside/secret.txt
        root/d1/lnk -> ../a.txt (inside)  root/rel_in -> a.txt  root/abs_in -> <root>/a.txt
        root/dir_in -> d1
    """

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.tmp = cls.server.tmp
        cls.root = cls.server.root
        cls.outside = os.path.join(cls.tmp, "outside")

    def setUp(self):
        for top in (self.root, self.outside):
            shutil.rmtree(top, ignore_errors=True)
            os.makedirs(top)
        self.write(os.path.join(self.tmp, "a.txt"), PARENT)
        self.write(os.path.join(self.tmp, "parent_only.txt"), PARENT)
        self.write(os.path.join(self.outside, "secret.txt"), SECRET)
        os.makedirs(os.path.join(self.outside, "dir", "sub"))
        self.write(os.path.join(self.outside, "dir", "victim.txt"), VICTIM)
        self.write(self.path("a.txt"), INSIDE)
        os.makedirs(self.path("d1"))
        os.makedirs(self.path("sub"))
        links = {
            "link_file": "../outside/secret.txt",
            "link_dir": "../outside/dir",
            "dang": "../outside/new.txt",
            "abs_out": os.path.join(self.outside, "secret.txt"),
            "d1/lnk": "../a.txt",
            "rel_in": "a.txt",
            "abs_in": self.path("a.txt"),
            "dir_in": "d1",
        }
        for name, target in links.items():
            os.symlink(target, self.path(name))
        self.outside_before = snapshot(self.outside)

    def tearDown(self):
        # Nothing outside the root ever changes, whatever the test did.
        self.assertEqual(snapshot(self.outside), self.outside_before)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    @staticmethod
    def write(path, data):
        with open(path, "wb") as f:
            f.write(data)

    def refused(self, ftp, command):
        with self.assertRaises(ftplib.error_perm, msg=command) as e:
            if command.startswith(("RETR", "LIST", "NLST")):
                ftp.retrbinary(command, lambda _: None)
            elif command.startswith(("STOR", "APPE")):
                ftp.storbinary(command, io.BytesIO(b"written through a link\n"))
            else:
                ftp.sendcmd(command)
        reply = str(e.exception)
        self.assertTrue(reply.startswith("550 "), f"{command}: {reply}")
        self.assertTrue(reply.endswith(("No such file or directory", "Permission denied")),
                        f"{command}: {reply}")

    def test_links_out_of_the_root_cannot_be_read_listed_or_entered(self):
        for user, password in ((USER, PASSWORD), ("anonymous", "guest@example.org")):
            ftp = self.server.client(user, password)
            for command in ("RETR link_file", "RETR abs_out", "RETR link_dir/victim.txt",
                            "RETR dang", "SIZE link_file", "SIZE link_dir/victim.txt",
                            "MDTM link_file", "MDTM abs_out", "CWD link_dir", "LIST link_dir",
                            "NLST link_dir/", "LIST link_dir/*"):
                self.refused(ftp, command)
            names = [line.split()[-1] for line in listing(ftp)]
            for name in ("link_file", "link_dir", "dang", "abs_out"):
                self.assertNotIn(name, names)
            # A pattern that climbs back out of a directory names no entry of the root's parent.
            for command in ("LIST x*/../..", "LIST d*/../..", "NLST d*/../..",
                            "LIST d*/../../*", "NLST */../../*"):
                try:
                    lines = listing(ftp, command)
                except ftplib.error_perm:
                    lines = []  # refused outright: nothing of the parent shown either
                for line in lines:
                    self.assertNotIn(line.split()[-1], ("..", "outside", "root", "parent_only.txt"),
                                     f"{command}: {line}")
            ftp.quit()

    def test_links_out_of_the_root_cannot_be_written_created_or_removed(self):
        ftp = self.server.client()
        for command in ("STOR link_file", "STOR abs_out", "STOR dang", "STOR link_dir/new.txt",
                        "APPE link_file", "APPE link_dir/victim.txt", "MKD link_dir/newdir",
                        "DELE link_dir/victim.txt", "RMD link_dir/sub", "MKD dang/x"):
            self.refused(ftp, command)
        # Removing a link removes the link itself, never what it points at.
        self.assertEqual(ftp.sendcmd("DELE link_file"), "250 DELE command successful.")
        self.assertEqual(ftp.sendcmd("DELE link_dir"), "250 DELE command successful.")
        self.assertFalse(os.path.lexists(self.path("link_file")))
        ftp.quit()

    def test_renames_cannot_pull_in_push_out_or_build_an_escape(self):
        ftp = self.server.client()
        # An outside file pulled in: RNFR fails, and the RNTO it still arms fails too.
        self.refused(ftp, "RNFR link_dir/victim.txt")
        self.refused(ftp, "RNTO stolen.txt")
        self.assertFalse(os.path.lexists(self.path("stolen.txt")))
        # A directory moved out.
        self.assertTrue(ftp.sendcmd("RNFR sub").startswith("350 "))
        self.refused(ftp, "RNTO link_dir/x")
        self.assertTrue(os.path.isdir(self.path("sub")))
        # A link that leads outside is not there to be moved.
        self.refused(ftp, "RNFR link_file")
        self.refused(ftp, "RNTO moved")
        # A harmless link moved up would point at the root's parent: refused.
        self.assertTrue(ftp.sendcmd("RNFR d1/lnk").startswith("350 "))
        self.refused(ftp, "RNTO lnk")
        self.assertEqual(os.readlink(self.path("d1", "lnk")), "../a.txt")
        self.assertEqual(retr(ftp, "d1/lnk"), INSIDE)
        # Moved there behind the server's back, it still leads nowhere.
        os.rename(self.path("d1", "lnk"), self.path("lnk"))
        self.refused(ftp, "RETR lnk")
        self.refused(ftp, "STOR lnk")
        self.refused(ftp, "APPE lnk")
        with open(os.path.join(self.tmp, "a.txt"), "rb") as f:
            self.assertEqual(f.read(), PARENT)
        ftp.quit()

    def test_links_inside_the_root_keep_working(self):
        ftp = self.server.client()
        for name in ("rel_in", "abs_in", "d1/lnk", "dir_in/lnk"):
            self.assertEqual(retr(ftp, name), INSIDE, name)
            self.assertEqual(ftp.sendcmd("SIZE " + name), f"213 {len(INSIDE)}")
        names = [line.split()[-1] for line in listing(ftp)]
        for name in ("rel_in", "abs_in", "dir_in", "a.txt"):
            self.assertIn(name, names)
        self.assertEqual(ftp.cwd("dir_in"), "250 CWD command successful.")
        self.assertEqual(listing(ftp, "NLST"), ["lnk"])
        ftp.cwd("/")
        # Writing through a link writes the file it points at; the link stays a link.
        ftp.storbinary("STOR abs_in", io.BytesIO(b"rewritten\n"))
        self.assertTrue(os.path.islink(self.path("abs_in")))
        with open(self.path("a.txt"), "rb") as f:
            self.assertEqual(f.read(), b"rewritten\n")
        ftp.storbinary("APPE rel_in", io.BytesIO(b"more\n"))
        self.assertEqual(retr(ftp, "a.txt"), b"rewritten\nmore\n")
        # A link moved within its directory keeps working; removing it leaves its target.
        ftp.sendcmd("RNFR rel_in")
        self.assertEqual(ftp.sendcmd("RNTO rel_two"), "250 RNTO command successful.")
        self.assertEqual(retr(ftp, "rel_two"), b"rewritten\nmore\n")
        ftp.sendcmd("RNFR abs_in")
        ftp.sendcmd("RNTO d1/abs_moved")
        self.assertEqual(retr(ftp, "d1/abs_moved"), b"rewritten\nmore\n")
        self.assertEqual(ftp.sendcmd("DELE rel_two"), "250 DELE command successful.")
        self.assertEqual(ftp.sendcmd("RMD dir_in"), "250 RMD command successful.")
        self.assertTrue(os.path.isfile(self.path("a.txt")))
        self.assertTrue(os.path.isdir(self.path("d1")))
        ftp.quit()

    def test_a_directory_swapped_for_a_link_never_yields_outside_content(self):
        # "race" flips between a directory inside and a link to the outside directory, as
        # fast as a local user can, while the client enters it and downloads from it.
        os.makedirs(self.path("race"))
        self.write(self.path("race", "victim.txt"), INSIDE)
        os.symlink("../outside/dir", self.path("race_alt"))
        stop = threading.Event()
        swaps = [0]

        def swapper():
            while not stop.is_set():
                exchange(self.path("race"), self.path("race_alt"))
                swaps[0] += 1

        thread = threading.Thread(target=swapper, daemon=True)
        thread.start()
        ftp = self.server.client()
        seen = {"inside": 0, "refused": 0}
        try:
            for i in range(300):
                try:
                    if i % 2:
                        ftp.cwd("/race")
                        data = retr(ftp, "victim.txt")
                    else:
                        ftp.cwd("/")
                        data = retr(ftp, "race/victim.txt")
                except ftplib.error_perm:
                    seen["refused"] += 1
                    continue
                self.assertNotEqual(data, VICTIM, "read outside the root")
                self.assertEqual(data, INSIDE)
                seen["inside"] += 1
        finally:
            stop.set()
            thread.join()
            ftp.quit()
        self.assertGreater(swaps[0], 0)
        self.assertEqual(seen["inside"] + seen["refused"], 300)
        # Whatever "race" is now, put the real directory back under its own name.
        if os.path.islink(self.path("race")):
            exchange(self.path("race"), self.path("race_alt"))


class Uploads(ServerTestCase):
    """An overwrite that fails leaves the original; failures answer with what went wrong."""

    def setUp(self):
        self.dir = self.root_path(self.id().rsplit(".", 1)[-1])
        os.makedirs(self.dir)
        self.original = bytes(range(256)) * 4  # 1,024 bytes
        self.target = os.path.join(self.dir, "keep.bin")
        with open(self.target, "wb") as f:
            f.write(self.original)

    def assertUntouched(self, directory=None):
        with open(self.target, "rb") as f:
            self.assertEqual(f.read(), self.original)
        # No partial file of the failed upload is left behind.
        self.assertEqual(os.listdir(directory or self.dir), ["keep.bin"])

    def test_an_aborted_overwrite_keeps_the_original(self):
        ftp = self.server.client()
        ftp.cwd(os.path.basename(self.dir))
        conn = ftp.transfercmd("STOR keep.bin")
        conn.sendall(b"x" * 300_000)
        ftp.putcmd("ABOR")
        self.assertEqual(ftp.getline(), "426 Connection closed, transfer aborted.")
        self.assertEqual(ftp.getline(), "226 Transfer aborted.")
        conn.close()
        self.assertUntouched()
        ftp.quit()

    def test_an_overwrite_whose_client_vanishes_keeps_the_original(self):
        ftp = self.server.client()
        ftp.cwd(os.path.basename(self.dir))
        conn = ftp.transfercmd("STOR keep.bin")
        conn.sendall(b"x" * 300_000)
        # A reset, not an orderly close: the upload did not end, the connection broke.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()
        reply = ftp.getline()
        if reply.startswith("426"):
            reply = ftp.getline()
        self.assertEqual(reply, "226 Transfer aborted.")
        self.assertUntouched()
        ftp.quit()

    def test_a_full_disk_answers_452_and_keeps_the_original(self):
        small = os.path.join(self.dir, "small")
        os.makedirs(small)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", small],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount a small tmpfs here")
        self.addCleanup(subprocess.run, ["umount", small], capture_output=True)
        self.target = os.path.join(small, "keep.bin")
        with open(self.target, "wb") as f:
            f.write(self.original)
        ftp = self.server.client()
        ftp.cwd(os.path.basename(self.dir) + "/small")
        conn = ftp.transfercmd("STOR keep.bin")
        try:
            conn.sendall(b"y" * 1_000_000)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server gave up on the upload before it was all sent
        conn.close()
        with self.assertRaises(ftplib.error_temp) as e:
            ftp.voidresp()
        self.assertEqual(str(e.exception), "452 keep.bin: No space left on device")
        self.assertUntouched(small)
        # The session goes on.
        self.assertEqual(ftp.sendcmd("NOOP"), "200 NOOP command successful.")
        ftp.quit()

    def test_a_slow_reader_does_not_block_the_owners_overwrite(self):
        big = os.path.join(self.dir, "big.bin")
        # Far more than loopback socket buffers hold, so the download is still running.
        old = os.urandom(1 << 20) * 32
        with open(big, "wb") as f:
            f.write(old)
        reader = self.server.client("anonymous", "guest@example.org")
        conn = reader.transfercmd(f"RETR {os.path.basename(self.dir)}/big.bin")
        first = conn.recv(4096)  # the transfer runs, and stalls on its full socket
        owner = self.server.client()
        new = b"new content\n"
        self.assertEqual(owner.storbinary(f"STOR {os.path.basename(self.dir)}/big.bin",
                                          io.BytesIO(new)), "226 Transfer complete.")
        with open(big, "rb") as f:
            self.assertEqual(f.read(), new)
        # The reader still gets the whole old file.
        chunks = [first]
        while True:
            chunk = conn.recv(1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
        conn.close()
        self.assertEqual(reader.voidresp(), "226 Transfer complete.")
        self.assertEqual(hashlib.sha256(b"".join(chunks)).digest(), hashlib.sha256(old).digest())
        reader.quit()
        owner.quit()

    def test_a_download_whose_file_shrinks_ends_in_451(self):
        name = os.path.join(self.dir, "shrinks.bin")
        size = 64 << 20  # far more than loopback socket buffers hold
        block = os.urandom(1 << 20)
        with open(name, "wb") as f:
            for _ in range(size >> 20):
                f.write(block)
        ftp = self.server.client()
        conn = ftp.transfercmd(f"RETR {os.path.basename(self.dir)}/shrinks.bin")
        received = len(conn.recv(4096))
        os.truncate(name, 100_000)
        while True:
            chunk = conn.recv(1 << 16)
            if not chunk:
                break
            received += len(chunk)
        conn.close()
        self.assertLess(received, size)
        with self.assertRaises(ftplib.error_temp) as e:
            ftp.voidresp()
        self.assertTrue(str(e.exception).startswith("451 "), str(e.exception))
        self.assertEqual(ftp.sendcmd("NOOP"), "200 NOOP command successful.")
        ftp.quit()


if __name__ == "__main__":
    unittest.main()
