"""What clients expect beyond RFC 959 (EPSV/EPRT over IPv4 and IPv6, MLSD/MLST, MFMT, HASH, UTF8,
CLNT), driven by the clients' own choices: curl, lftp and Python's ftplib."""
import calendar
import ftplib
import hashlib
import io
import os
import random
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

from nbftp_harness import PASSWORD, USER, RunningServer

os.environ.setdefault("NORBIT_KEYS_DIR", tempfile.mkdtemp(prefix="nbftp-keys-"))


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


HAS_IPV6 = ipv6_loopback()


def payload(size, seed):
    return random.Random(seed).randbytes(size)


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def machine_time(seconds):
    return time.strftime("%Y%m%d%H%M%S", time.gmtime(seconds))


class ModernClients(unittest.TestCase):
    """One dual-stack server (--listen ::) for the class; each test works in its own folder."""

    server = None
    tls = "none"
    active = True  # the server connects to the client for data (PORT, EPRT)

    @classmethod
    def setUpClass(cls):
        cls.server = RunningServer(extra_args=("--listen", "::"), tls=cls.tls)

    @classmethod
    def tearDownClass(cls):
        code = cls.server.stop()
        if code != 0:
            raise AssertionError(f"server exited with {code}")

    def setUp(self):
        self.folder = self.id().rsplit(".", 1)[-1]
        self.local = os.path.join(self.server.root, self.folder)
        os.makedirs(self.local)

    # ---- helpers the TLS variant overrides ----

    def client(self, host="127.0.0.1", user=USER, password=PASSWORD):
        ftp = ftplib.FTP()
        ftp.connect(host, self.server.port, timeout=300)
        ftp.login(user, password)
        return ftp

    def curl_args(self):
        return []

    def lftp_settings(self):
        return "set ftp:ssl-allow no;"

    def commands_sent(self, start):
        # The log reaches us on its own; the sessions since start are whole once each is closed.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            log = self.server.log()[start:]
            opened = sum(l.startswith("Accept Connection") for l in log)
            if sum(l.startswith("Close Connection") for l in log) >= opened:
                break
            time.sleep(0.05)
        return [l[len("Command: "):] for l in log if l.startswith("Command: ")]

    def assert_matches_disk(self, entries, folder):
        """MLSD facts against os.stat: names, types, sizes, times and modes."""
        names = sorted(n for n, facts in entries if facts["type"] not in ("cdir", "pdir"))
        self.assertEqual(names, sorted(os.listdir(folder)))
        for name, facts in entries:
            if facts["type"] in ("cdir", "pdir"):
                continue
            st = os.stat(os.path.join(folder, name))
            self.assertEqual(facts["type"], "dir" if os.path.isdir(os.path.join(folder, name)) else "file")
            if facts["type"] == "file":
                self.assertEqual(int(facts["size"]), st.st_size, name)
            self.assertEqual(facts["modify"], machine_time(st.st_mtime), name)
            self.assertEqual(facts["unix.mode"], "0%03o" % (st.st_mode & 0o7777), name)

    def fill_folder(self):
        files = {"a.bin": payload(300_000, 1), "empty": b"", "ü ñame.txt": b"utf-8 name\r\n"}
        for name, data in files.items():
            with open(os.path.join(self.local, name), "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(self.local, "sub"))
        os.utime(os.path.join(self.local, "a.bin"), (0, 1_000_000_000))
        os.chmod(os.path.join(self.local, "empty"), 0o600)
        return files

    # ---- tests ----

    def test_ftplib_mlsd_and_transfers_over_both_families(self):
        files = self.fill_folder()
        hosts = ["127.0.0.1"] + (["::1"] if HAS_IPV6 else [])
        for host in hosts:
            for passive in (True, False) if self.active else (True,):
                with self.subTest(host=host, passive=passive):
                    start = len(self.server.log())
                    ftp = self.client(host)
                    ftp.set_pasv(passive)
                    ftp.sendcmd("OPTS UTF8 ON")
                    ftp.cwd(self.folder)
                    self.assert_matches_disk(list(ftp.mlsd()), self.local)
                    data = payload(2_000_000, 7)
                    ftp.storbinary("STOR up.bin", io.BytesIO(data))
                    out = io.BytesIO()
                    ftp.retrbinary("RETR a.bin", out.write)
                    self.assertEqual(out.getvalue(), files["a.bin"])
                    with open(os.path.join(self.local, "up.bin"), "rb") as f:
                        self.assertEqual(f.read(), data)
                    os.remove(os.path.join(self.local, "up.bin"))
                    ftp.quit()
                    # ftplib speaks EPSV and EPRT on IPv6 and PASV and PORT on IPv4.
                    words = {c.split(" ")[0] for c in self.commands_sent(start)}
                    v6 = ":" in host
                    expected = ("EPSV" if v6 else "PASV") if passive else ("EPRT" if v6 else "PORT")
                    self.assertIn(expected, words)

    def test_mlst_facts_and_permissions(self):
        self.fill_folder()
        ftp = self.client()
        ftp.cwd(self.folder)
        path = f"/{self.folder}/a.bin"
        cases = [
            # (command, expected fact line after the leading blank)
            ("MLST a.bin", f"type=file;size=300000;modify=20010909014640;perm=adfrw;UNIX.mode=0644; {path}"),
            ("MLST sub", None),  # checked against disk below
            ("OPTS MLST size;Type;bogus;", "200 MLST OPTS type;size;"),
            ("MLST a.bin", f"type=file;size=300000; {path}"),
            ("MLST", f"type=cdir; /{self.folder}"),
            ("OPTS MLST ", "200 MLST OPTS"),
            ("MLST a.bin", f" {path}"),
            ("OPTS MLST type;size;modify;perm;UNIX.mode;", None),
        ]
        for command, expected in cases:
            with self.subTest(command=command):
                reply = ftp.sendcmd(command)
                if command.startswith("OPTS"):
                    if expected:
                        self.assertEqual(reply.rstrip(), expected)
                    continue
                lines = reply.split("\n")
                listed = {"MLST": f"/{self.folder}", "MLST sub": f"/{self.folder}/sub"}.get(command, path)
                self.assertEqual(lines[0], "250-Listing " + listed)
                self.assertEqual(lines[-1], "250 End.")
                if expected:
                    self.assertEqual(lines[1], " " + expected)
                else:
                    st = os.stat(os.path.join(self.local, "sub"))
                    self.assertEqual(lines[1], f" type=dir;modify={machine_time(st.st_mtime)};perm=cdeflmp;"
                                               f"UNIX.mode=0{st.st_mode & 0o7777:03o}; /{self.folder}/sub")
        for command, reply in [("MLST missing", "550"), ("MLSD a.bin", "501"), ("MLSD missing", "550")]:
            with self.subTest(command=command):
                with self.assertRaises(ftplib.error_perm) as e:
                    if command.startswith("MLSD"):
                        list(ftp.mlsd(command.split(" ")[1]))
                    else:
                        ftp.sendcmd(command)
                self.assertTrue(str(e.exception).startswith(reply), str(e.exception))
        ftp.quit()
        # The anonymous account may only download and change directories: its perm facts say so.
        anon = self.client(user="anonymous", password="guest@")
        anon.cwd(self.folder)
        facts = dict(anon.mlsd(facts=["type", "perm"]))
        self.assertEqual(facts["a.bin"]["perm"], "r")
        self.assertEqual(facts["sub"]["perm"], "el")
        anon.quit()

    def test_curl_chooses_epsv_and_eprt(self):
        data = payload(1_000_000, 3)
        with open(os.path.join(self.local, "c.bin"), "wb") as f:
            f.write(data)
        cases = [("127.0.0.1", [], "EPSV")]
        if HAS_IPV6:
            cases.append(("[::1]", ["--ftp-port", "::1"], "EPRT |2|::1|"))
            cases.append(("[::1]", [], "EPSV"))
        cases.append(("127.0.0.1", ["--ftp-port", "127.0.0.1"], "EPRT |1|127.0.0.1|"))
        if not self.active:
            cases = [c for c in cases if not c[1]]
        for host, args, command in cases:
            with self.subTest(host=host, args=args):
                start = len(self.server.log())
                url = f"ftp://{host}:{self.server.port}/{self.folder}/c.bin"
                result = subprocess.run(
                    ["curl", "-sS", "-g", "--user", f"{USER}:{PASSWORD}", *self.curl_args(), *args, url],
                    capture_output=True, timeout=120)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, data)
                self.assertTrue(any(c.startswith(command) for c in self.commands_sent(start)),
                                self.commands_sent(start))

    def test_lftp_uses_mlsd_for_cls_and_mirror(self):
        files = self.fill_folder()
        target = tempfile.mkdtemp(prefix="nbftp-mirror-")
        try:
            start = len(self.server.log())
            script = (f"{self.lftp_settings()} set net:max-retries 1; set net:timeout 30; "
                      f"cls -l {self.folder}/; mirror {self.folder} {target}/m; quit")
            result = subprocess.run(
                ["lftp", "-u", f"{USER},{PASSWORD}", "-e", script,
                 f"ftp://127.0.0.1:{self.server.port}"],
                capture_output=True, timeout=120, env={**os.environ, "HOME": target})
            self.assertEqual(result.returncode, 0, result.stderr)
            listing = result.stdout.decode()
            for name in files:
                self.assertIn(name, listing)
            mlsd = [c for c in self.commands_sent(start) if c.startswith("MLSD")]
            self.assertGreaterEqual(len(mlsd), 2)
            self.assertFalse(any(c.startswith("LIST") for c in self.commands_sent(start)))
            for name, data in files.items():
                with open(os.path.join(target, "m", name), "rb") as f:
                    self.assertEqual(f.read(), data, name)
            self.assertTrue(os.path.isdir(os.path.join(target, "m", "sub")))
            # mirror keeps the times that MLSD gave.
            self.assertEqual(int(os.stat(os.path.join(target, "m", "a.bin")).st_mtime), 1_000_000_000)
        finally:
            shutil.rmtree(target, ignore_errors=True)

    def test_epsv_all_and_eprt_refusals(self):
        ftp = self.client()
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        cases = [
            (f"EPRT |1|127.0.0.1|{port}|", "200 EPRT command successful."),
            (f"EPRT !1!127.0.0.1!{port}!", "200 EPRT command successful."),
            (f"EPRT |1|127.0.0.2|{port}|", "501 invalid argument"),       # a third host: bounce
            (f"EPRT |2|::1|{port}|", "501 invalid argument"),             # not the client either
            ("EPRT |1|127.0.0.1|1023|", "501 invalid argument"),          # privileged port
            ("EPRT |1|127.0.0.1|20|", "200 EPRT command successful."),    # the data port itself
            ("EPRT |1|127.0.0.1|65536|", "501 invalid argument"),
            (f"EPRT |3|127.0.0.1|{port}|", "522 Network protocol not supported, use (1,2)"),
            (f"EPRT |1|127.1|{port}|", "501 invalid argument"),           # no lenient forms
            (f"EPRT |1|localhost|{port}|", "501 invalid argument"),       # no names
            (f"EPRT |1|127.0.0.1|{port}", "501 invalid argument"),
            (f"EPRT |1|127.0.0.1|+{port}|", "501 invalid argument"),
            ("EPRT", "501 invalid argument"),
            ("EPSV 2", "522 Network protocol not supported, use (1)"),
            ("EPSV 3", "501 invalid argument"),
            ("EPSV 1", "229 Entering Extended Passive Mode (|||"),
            ("EPSV ALL", "200 EPSV ALL ok."),
            ("PASV", "501 EPSV ALL in effect"),
            ("PORT 127,0,0,1,4,0", "501 EPSV ALL in effect"),
            (f"EPRT |1|127.0.0.1|{port}|", "501 EPSV ALL in effect"),
            ("REIN", None),
            ("EPSV", "229 Entering Extended Passive Mode (|||"),
        ]
        for command, expected in cases:
            with self.subTest(command=command):
                if command == "REIN":
                    ftp.sendcmd("REIN")
                    ftp.login(USER, PASSWORD)
                    if self.tls != "none":
                        ftp.prot_p()  # REIN cleared the data protection
                    continue
                try:
                    reply = ftp.sendcmd(command)
                except ftplib.all_errors as e:
                    reply = str(e)
                self.assertTrue(reply.startswith(expected), reply)
        # After EPSV ALL (kept across REIN) a transfer over EPSV works.
        with open(os.path.join(self.local, "x"), "wb") as f:
            f.write(b"x" * 1000)
        ftp.af = socket.AF_INET6  # ftplib asks for EPSV only on IPv6; it connects to the peer
        out = io.BytesIO()
        ftp.retrbinary(f"RETR {self.folder}/x", out.write)
        self.assertEqual(out.getvalue(), b"x" * 1000)
        ftp.quit()
        listener.close()

    def test_mfmt_round_trips(self):
        name = os.path.join(self.local, "t.txt")
        with open(name, "wb") as f:
            f.write(b"t")
        ftp = self.client()
        ftp.cwd(self.folder)
        for stamp in ["20200229235959", "19700101000000", "20380119031408", "21000101120000",
                      "20240615101010.123"]:
            with self.subTest(stamp=stamp):
                whole = stamp.split(".")[0]
                self.assertEqual(ftp.sendcmd(f"MFMT {stamp} t.txt"), f"213 Modify={whole}; t.txt")
                self.assertEqual(ftp.sendcmd("MDTM t.txt"), f"213 {whole}")
                self.assertEqual(int(os.stat(name).st_mtime),
                                 calendar.timegm(time.strptime(whole, "%Y%m%d%H%M%S")))
                self.assertIn(f"modify={whole};", ftp.sendcmd("MLST t.txt"))
        before = os.stat(name).st_mtime
        for command, reply in [("MFMT 20231301000000 t.txt", "501"), ("MFMT 2023010100000 t.txt", "501"),
                               ("MFMT 20230101000000", "501"), ("MFMT t.txt", "501"),
                               ("MFMT 20230101000000 missing", "550"), ("MFMT 20230101000000 /", "550")]:
            with self.subTest(command=command):
                with self.assertRaises(ftplib.error_perm) as e:
                    ftp.sendcmd(command)
                self.assertTrue(str(e.exception).startswith(reply), str(e.exception))
        ftp.quit()
        anon = self.client(user="anonymous", password="guest@")
        with self.assertRaises(ftplib.error_perm) as e:
            anon.sendcmd(f"MFMT 20230101000000 {self.folder}/t.txt")
        self.assertEqual(str(e.exception), "550 " + f"{self.folder}/t.txt: Access is denied.")
        anon.quit()
        self.assertEqual(os.stat(name).st_mtime, before)

    def test_hash_of_empty_small_and_large_files(self):
        small = payload(123_457, 5)
        with open(os.path.join(self.local, "small"), "wb") as f:
            f.write(small)
        open(os.path.join(self.local, "zero"), "wb").close()
        big = os.path.join(self.local, "big")
        with open(big, "wb") as f:
            f.truncate(1 << 30)  # 1 GiB of zeros, sparse: nothing to write, everything to read
        ftp = self.client()
        ftp.cwd(self.folder)
        for option, algorithm, digest in [("SHA-256", "SHA-256", hashlib.sha256),
                                          ("sha-1", "SHA-1", hashlib.sha1), ("MD5", "MD5", hashlib.md5)]:
            self.assertEqual(ftp.sendcmd(f"OPTS HASH {option}"), f"200 {algorithm}")
            for name, data in [("small", small), ("zero", b"")]:
                with self.subTest(algorithm=algorithm, name=name):
                    last = max(len(data) - 1, 0)
                    self.assertEqual(ftp.sendcmd(f"HASH {name}"),
                                     f"213 {algorithm} 0-{last} {digest(data).hexdigest()} {name}")
        with self.assertRaises(ftplib.error_perm) as e:
            ftp.sendcmd("OPTS HASH CRC32")
        self.assertTrue(str(e.exception).startswith("501"))
        self.assertEqual(ftp.sendcmd("OPTS HASH"), "200 MD5")
        ftp.sendcmd("OPTS HASH SHA-256")
        for command, reply in [("HASH missing", "550"), ("HASH sub", "550"), ("HASH", "501")]:
            os.makedirs(os.path.join(self.local, "sub"), exist_ok=True)
            with self.subTest(command=command):
                with self.assertRaises(ftplib.error_perm) as e:
                    ftp.sendcmd(command)
                self.assertTrue(str(e.exception).startswith(reply), str(e.exception))

        expected = hashlib.sha256()
        block = bytes(1 << 20)
        for _ in range(1024):
            expected.update(block)
        before = peak_kib(self.server.proc.pid)
        self.assertEqual(ftp.sendcmd("HASH big"),
                         f"213 SHA-256 0-{(1 << 30) - 1} {expected.hexdigest()} big")
        # Read through a stream: the peak memory does not grow with the file.
        self.assertLess(peak_kib(self.server.proc.pid) - before, 32 * 1024)
        ftp.quit()
        os.remove(big)

    def test_utf8_clnt_and_feat(self):
        ftp = self.client()
        feat = ftp.sendcmd("FEAT").split("\n")
        for line in ["EPSV", "EPRT", "MLST type*;size*;modify*;perm*;UNIX.mode*;", "MFMT", "UTF8",
                     "HASH SHA-256*;SHA-1;MD5", "CLNT"]:
            self.assertIn("    " + line, feat)
        tls_lines = ["    AUTH TLS", "    PBSZ", "    PROT"]
        for line in tls_lines:
            self.assertEqual(line in feat, self.tls != "none", line)
        for command, reply in [("OPTS UTF8 ON", "200 UTF8 set to on"), ("OPTS utf8 off", "200 UTF8 set to off"),
                               ("OPTS UTF8 MAYBE", "501 invalid argument"), ("OPTS FOO", "501 Option not supported."),
                               ("CLNT Test Client 1.0", "200 Noted.")]:
            with self.subTest(command=command):
                try:
                    self.assertEqual(ftp.sendcmd(command), reply)
                except ftplib.error_perm as e:
                    self.assertEqual(str(e), reply)
        ftp.quit()
        self.assertTrue(self.server.wait_for_log(lambda l: l == "Command: CLNT Test Client 1.0"))



class ModernClientsTls(ModernClients):
    """The same clients on protected control and data connections (AUTH TLS, PROT P)."""

    # lftp asks FEAT again after login only where FEAT before it got 530 (not 500).
    tls = "allow-explicit"
    # Protected data connections that the server opens (active mode) are not offered yet.
    active = False

    def client(self, host="127.0.0.1", user=USER, password=PASSWORD):
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        ftp = ftplib.FTP_TLS(context=context)
        ftp.connect(host, self.server.port, timeout=300)
        ftp.login(user, password)
        ftp.prot_p()
        return ftp

    def curl_args(self):
        return ["--ssl-reqd", "--insecure"]

    def lftp_settings(self):
        return ("set ftp:ssl-force yes; set ftp:ssl-protect-data yes; "
                "set ssl:verify-certificate no;")

    # Nothing of these touches a data connection: the plain run covers them.
    def test_mfmt_round_trips(self):
        self.skipTest("no data connection")

    def test_hash_of_empty_small_and_large_files(self):
        self.skipTest("no data connection")


class ListenAddresses(unittest.TestCase):
    @unittest.skipUnless(HAS_IPV6, "no IPv6 loopback")
    def test_each_listen_address_serves_its_family(self):
        cases = [
            ((), {"127.0.0.1": True, "::1": False}),
            (("--listen", "::"), {"127.0.0.1": True, "::1": True}),
            (("--listen", "::1"), {"127.0.0.1": False, "::1": True}),
            (("--listen", "::1", "--listen", "127.0.0.1"), {"127.0.0.1": True, "::1": True}),
        ]
        for args, reachable in cases:
            with self.subTest(args=args):
                server = RunningServer(extra_args=args)
                try:
                    for host, expected in reachable.items():
                        family = socket.AF_INET6 if ":" in host else socket.AF_INET
                        with socket.socket(family, socket.SOCK_STREAM) as s:
                            s.settimeout(10)
                            served = s.connect_ex((host, server.port)) == 0
                            self.assertEqual(served, expected, host)
                            if served:
                                self.assertTrue(s.recv(100).startswith(b"220 "))
                finally:
                    self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    unittest.main()
