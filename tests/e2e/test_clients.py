"""curl and lftp against the real server: the commands users actually type."""
import filecmp
import os
import shutil
import subprocess
import tempfile
import unittest

from nbftp_harness import ServerTestCase, USER, PASSWORD
from test_ftplib import payload


def run(args, **kw):
    return subprocess.run(args, capture_output=True, timeout=120, **kw)


@unittest.skipUnless(shutil.which("curl"), "curl is not installed")
class Curl(ServerTestCase):
    def setUp(self):
        self.local = tempfile.mkdtemp(prefix="nbftp-curl-")

    def tearDown(self):
        shutil.rmtree(self.local, ignore_errors=True)

    def curl(self, *args):
        r = run(["curl", "-sS", "--max-time", "60", *args])
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r.stdout

    def test_passive_and_active_transfers(self):
        src = os.path.join(self.local, "src.bin")
        with open(src, "wb") as f:
            f.write(payload(500_000, seed=7))
        # Upload into directories that do not exist yet.
        self.curl("--ftp-create-dirs", "-T", src, self.server.url("curl/deep/src.bin"))
        self.assertTrue(filecmp.cmp(src, self.root_path("curl", "deep", "src.bin"), shallow=False))
        for mode in ([], ["-P", "127.0.0.1"]):  # passive, then active
            out = os.path.join(self.local, "out.bin")
            self.curl(*mode, "-o", out, self.server.url("curl/deep/src.bin"))
            self.assertTrue(filecmp.cmp(src, out, shallow=False))
            listing = self.curl(*mode, self.server.url("curl/deep/")).decode()
            self.assertIn("src.bin", listing)

    def test_quote_commands_and_resume(self):
        data = payload(400_000, seed=8)
        with open(self.root_path("resume.bin"), "wb") as f:
            f.write(data)
        part = os.path.join(self.local, "part.bin")
        with open(part, "wb") as f:
            f.write(data[:123_456])
        self.curl("-C", "-", "-o", part, self.server.url("resume.bin"))
        with open(part, "rb") as f:
            self.assertEqual(f.read(), data)
        # Quote commands before and after the transfer.
        self.curl("-Q", "MKD quoted", "-Q", "-RMD quoted", self.server.url(""))
        self.assertFalse(os.path.exists(self.root_path("quoted")))
        # Upload resume appends the missing tail.
        with open(self.root_path("up.bin"), "wb") as f:
            f.write(data[:1000])
        full = os.path.join(self.local, "full.bin")
        with open(full, "wb") as f:
            f.write(data)
        self.curl("-C", "-", "-T", full, self.server.url("up.bin"))
        with open(self.root_path("up.bin"), "rb") as f:
            self.assertEqual(f.read(), data)


@unittest.skipUnless(shutil.which("lftp"), "lftp is not installed")
class Lftp(ServerTestCase):
    def lftp(self, script):
        cmds = ("set ftp:ssl-allow no; set net:max-retries 1; set net:timeout 20; "
                "set cmd:fail-exit yes; " + script + "; bye")
        r = run(["lftp", "-u", f"{USER},{PASSWORD}", "-p", str(self.server.port), "-e", cmds,
                 "127.0.0.1"], cwd=self.local)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r.stdout.decode(errors="replace")

    def setUp(self):
        self.local = tempfile.mkdtemp(prefix="nbftp-lftp-")

    def tearDown(self):
        shutil.rmtree(self.local, ignore_errors=True)

    def test_ls_get_put_mirror_mv_rm(self):
        tree = os.path.join(self.local, "tree")
        os.makedirs(os.path.join(tree, "sub"))
        for i, name in enumerate(("a.txt", "b.bin", os.path.join("sub", "c.bin"))):
            with open(os.path.join(tree, name), "wb") as f:
                f.write(payload(50_000 + i, seed=20 + i))
        self.lftp("mirror -R tree tree")
        self.assertTrue(filecmp.cmp(os.path.join(tree, "sub", "c.bin"),
                                    self.root_path("tree", "sub", "c.bin"), shallow=False))
        listing = self.lftp("cls -1 tree")
        self.assertIn("a.txt", listing)
        self.lftp("mirror tree back")
        cmp = filecmp.dircmp(tree, os.path.join(self.local, "back"))
        self.assertEqual((cmp.left_only, cmp.right_only, cmp.diff_files), ([], [], []))
        self.lftp("put tree/a.txt -o single.txt; mv single.txt moved.txt; get moved.txt -o got.txt")
        self.assertTrue(filecmp.cmp(os.path.join(tree, "a.txt"),
                                    os.path.join(self.local, "got.txt"), shallow=False))
        self.lftp("rm moved.txt; rm -r tree")
        self.assertEqual(os.listdir(self.server.root), [])


if __name__ == "__main__":
    unittest.main()
