"""The program as operators run it: a configuration file with hashed accounts, its check, the
transfer log, the fail2ban line, SIGHUP reloads and the systemd notifications."""
import ftplib
import io
import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

from nbftp_harness import SERVER, RunningServer

KEYS_DIR = tempfile.mkdtemp(prefix="nbftp-keys-")
os.environ["NORBIT_KEYS_DIR"] = KEYS_DIR


def hash_password(password):
    r = subprocess.run([SERVER, "--hash-password"], input=password + "\n",
                       capture_output=True, text=True, timeout=60, check=True)
    return r.stdout.strip()


def toml_text(server, accounts):
    """The file for a [server] dict and a list of account dicts (values are TOML literals)."""
    lines = ["[server]"] + [f"{k} = {v}" for k, v in server.items()]
    for account in accounts:
        lines += ["", "[[account]]"] + [f"{k} = {v}" for k, v in account.items()]
    return "\n".join(lines) + "\n"


def q(text):
    return '"' + text + '"'


def wait_until(predicate, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class Operator(unittest.TestCase):
    """One configured server: alice with every right, bob who may only look and download."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="nbftp-op-")
        cls.alice_root = os.path.join(cls.tmp, "alice")
        cls.bob_root = os.path.join(cls.tmp, "bob")
        for root in (cls.alice_root, cls.bob_root):
            os.makedirs(root)
        with open(os.path.join(cls.bob_root, "bob.txt"), "wb") as f:
            f.write(b"bob's file\n")
        cls.hashes = {"alice": hash_password("alice pw"), "bob": hash_password("bob-pw"),
                      "carol": hash_password("carol-pw")}
        cls.xferlog = os.path.join(cls.tmp, "xferlog")
        cls.config = os.path.join(cls.tmp, "ftp.toml")
        cls.notify_path = os.path.join(cls.tmp, "notify")
        cls.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        cls.notify.bind(cls.notify_path)
        cls.notify.settimeout(20)
        cls.write_config()
        os.environ["NOTIFY_SOCKET"] = cls.notify_path
        try:
            cls.server = RunningServer(extra_args=["--config", cls.config])
        finally:
            del os.environ["NOTIFY_SOCKET"]

    @classmethod
    def tearDownClass(cls):
        code = cls.server.stop()
        cls.notify.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)
        if code != 0:
            raise AssertionError(f"server exited with {code}")

    @classmethod
    def write_config(cls, extra_accounts=(), passive="31011-31013"):
        accounts = [
            {"name": q("alice"), "password": q(cls.hashes["alice"]), "root": q(cls.alice_root),
             "permissions": '["all"]'},
            {"name": q("bob"), "password": q(cls.hashes["bob"]), "root": q(cls.bob_root),
             "permissions": '["chdir", "download"]', "rate": 0},
            *extra_accounts]
        # Below the ephemeral range, so that the ports free_port hands out never collide.
        server = {"passive_ports": q(passive), "passive_address": q("203.0.113.7"),
                  "transfer_log": q(cls.xferlog), "login_timeout": 30,
                  "listen": '["127.0.0.1", "::1"]'}
        with open(cls.config, "w") as f:
            f.write(toml_text(server, accounts))

    def login(self, user, password):
        ftp = self.server.client(user=None)
        ftp.login(user, password)
        return ftp

    def reload(self, expected_line):
        before = len(self.server.log())
        self.server.proc.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(
            lambda: any(expected_line in line for line in self.server.log()[before:])),
            f"no '{expected_line}' after SIGHUP")

    def notifications(self):
        got = []
        while True:
            try:
                self.notify.settimeout(0.5 if got else 20)
                got.append(self.notify.recv(4096).decode())
            except socket.timeout:
                return got

    def test_1_logins_and_the_fail2ban_line(self):
        cases = [  # user, password, logs in
            ("alice", "alice pw", True),
            ("alice", "alice pw2", False),
            ("bob", "bob-pw", True),
            ("Bob", "bob-pw", False),           # configured names compare exactly
            ("NorbitTester", "mivoraplexan", False),  # the preset account is gone
            ("mallory", "x", False),
            ("anonymous", "guest@", False),     # allow_anonymous is false by default
        ]
        for user, password, ok in cases:
            with self.subTest(user=user, password=password):
                ftp = self.server.client(user=None)
                try:
                    if ok:
                        self.assertTrue(ftp.login(user, password).startswith("230"))
                    else:
                        with self.assertRaisesRegex(ftplib.error_perm, "^530"):
                            ftp.login(user, password)
                        self.assertTrue(self.server.wait_for_log(
                            lambda l: l == f"Login failed: user {user} from 127.0.0.1"))
                finally:
                    ftp.close()
        for hashed in self.hashes.values():
            self.assertFalse(any(hashed in line for line in self.server.log()))

    def test_2_roots_permissions_and_passive_ports(self):
        alice = self.login("alice", "alice pw")
        bob = self.login("bob", "bob-pw")
        try:
            alice.storbinary("STOR up.bin", io.BytesIO(b"x" * 70000))
            self.assertEqual(os.path.getsize(os.path.join(self.alice_root, "up.bin")), 70000)
            self.assertEqual(alice.nlst(), ["up.bin"])
            self.assertEqual(bob.nlst(), ["bob.txt"])
            data = io.BytesIO()
            bob.retrbinary("RETR bob.txt", data.write)
            self.assertEqual(data.getvalue(), b"bob's file\n")
            for command in ("STOR x.bin", "MKD d", "DELE bob.txt", "RNFR bob.txt"):
                with self.subTest(command=command):
                    with self.assertRaisesRegex(ftplib.error_perm, "^550 .*Access is denied"):
                        if command.startswith("STOR"):
                            bob.storbinary(command, io.BytesIO(b"no"))
                        else:
                            bob.sendcmd(command)
            # ftplib connects to the control connection's host, not the announced one.
            for _ in range(4):
                reply = alice.sendcmd("PASV")
                numbers = reply[reply.index("(") + 1:reply.index(")")].split(",")
                self.assertEqual(numbers[:4], ["203", "0", "113", "7"])
                self.assertIn(int(numbers[4]) * 256 + int(numbers[5]), range(31011, 31014))
                alice.nlst()
        finally:
            alice.close()
            bob.close()

    def test_2_only_the_configured_addresses_listen(self):
        for family, address, listens in ((socket.AF_INET, "127.0.0.1", True),
                                         (socket.AF_INET6, "::1", True),
                                         (socket.AF_INET, "127.0.0.2", False)):
            with self.subTest(address=address), socket.socket(family) as s:
                s.settimeout(10)
                if listens:
                    s.connect((address, self.server.port))
                    self.assertTrue(s.recv(100).startswith(b"220"))
                else:
                    self.assertRaises(ConnectionRefusedError, s.connect,
                                      (address, self.server.port))

    def test_3_transfer_log(self):
        ftp = self.login("alice", "alice pw")
        try:
            ftp.storbinary("STOR with blank.txt", io.BytesIO(b"12345"))
            ftp.retrbinary("RETR with blank.txt", lambda b: None)
            with self.assertRaises(ftplib.error_perm):
                ftp.retrbinary("RETR missing.txt", lambda b: None)
        finally:
            ftp.close()
        def lines_written():
            with open(self.xferlog) as f:
                return f.read().count("\n")
        self.assertTrue(wait_until(lambda: lines_written() >= 3))
        with open(self.xferlog) as f:
            lines = [l.split() for l in f.read().splitlines() if "blank" in l or "missing" in l]
        self.assertEqual(len(lines), 3, lines)
        path = os.path.join(self.alice_root, "with_blank.txt")
        missing = os.path.join(self.alice_root, "missing.txt")
        # date (5 fields), seconds, host, bytes, path, type, action, direction, access, user,
        # service, method, user id, status
        for fields, (size, name, direction, status) in zip(lines, [
                ("5", path, "i", "c"), ("5", path, "o", "c"), ("0", missing, "o", "i")]):
            self.assertEqual(len(fields), 18, fields)
            self.assertEqual(fields[6:], ["127.0.0.1", size, name, "b", "_", direction, "r",
                                          "alice", "ftp", "0", "*", status])

    def test_4_sighup_reload_and_notifications(self):
        self.assertIn("READY=1", self.notifications())
        running = self.login("alice", "alice pw")
        try:
            with self.assertRaises(ftplib.error_perm):
                self.login("carol", "carol-pw").close()
            self.write_config(extra_accounts=[
                {"name": q("carol"), "password": q(self.hashes["carol"])}])
            self.reload("Configuration reloaded")
            got = self.notifications()
            self.assertTrue(got[0].startswith("RELOADING=1\nMONOTONIC_USEC="), got)
            self.assertEqual(got[1:], ["READY=1"])
            self.login("carol", "carol-pw").close()
            self.assertEqual(running.sendcmd("NOOP")[:3], "200")

            # A file that fails the check changes nothing, and the log says where it fails.
            with open(self.config, "a") as f:
                f.write('\n[[account]]\nname = "dave"\npassword = "plain"\n')
            self.reload("Configuration not reloaded: " + self.config + ":")
            self.assertTrue(any(":" in l and "dave" in l and "plain text is refused" in l
                                for l in self.server.log()))
            self.login("carol", "carol-pw").close()
            self.assertEqual(running.sendcmd("NOOP")[:3], "200")
        finally:
            running.close()
            self.write_config()

    def test_5_stopping_is_notified(self):
        # Runs last (the name's order): the class's server is stopped here.
        self.notifications()
        self.server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.proc.wait(30), 0)
        self.assertIn("STOPPING=1", self.notifications())


def make_certificate(directory, name):
    cert, key = (os.path.join(directory, name + suffix) for suffix in (".crt", ".key"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=" + name,
                    "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
    os.chmod(key, 0o600)
    with open(cert) as f:
        return cert, key, ssl.PEM_cert_to_DER_cert(f.read())


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class CertificateFiles(unittest.TestCase):
    def test_the_files_are_served_and_replaced_on_sighup(self):
        tmp = tempfile.mkdtemp(prefix="nbftp-cert-")
        self.addCleanup(shutil.rmtree, tmp, True)
        cert, key, first = make_certificate(tmp, "first.example")
        _, _, second = make_certificate(tmp, "second.example")
        config = os.path.join(tmp, "ftp.toml")
        with open(config, "w") as f:
            f.write(toml_text({"certificate": q(cert), "private_key": q(key),
                               "tls_protocols": '["1.2", "1.3"]'},
                              [{"name": q("alice"), "password": q(hash_password("pw"))}]))
        server = RunningServer(extra_args=["--config", config], tls="require-explicit")
        # Far more than the socket buffers hold, so the download is still running at the reload.
        payload = os.urandom(16 * 1024 * 1024)
        with open(os.path.join(server.root, "big.bin"), "wb") as f:
            f.write(payload)

        def connect():
            ftp = ftplib.FTP_TLS(context=ssl._create_unverified_context())
            ftp.connect("127.0.0.1", server.port, timeout=30)
            ftp.login("alice", "pw")
            ftp.prot_p()
            return ftp
        try:
            ftp = connect()
            self.assertEqual(ftp.sock.getpeercert(binary_form=True), first)
            ftp.voidcmd("TYPE I")
            data = ftp.transfercmd("RETR big.bin")
            received = bytearray(data.recv(65536))
            self.assertEqual(data.getpeercert(binary_form=True), first)

            for suffix in (".crt", ".key"):
                os.replace(os.path.join(tmp, "second.example" + suffix),
                           os.path.join(tmp, "first.example" + suffix))
            before = len(server.log())
            server.proc.send_signal(signal.SIGHUP)
            self.assertTrue(wait_until(lambda: "Configuration reloaded: " + config in
                                       server.log()[before:]))
            later = connect()
            self.assertEqual(later.sock.getpeercert(binary_form=True), second)
            later.quit()

            while chunk := data.recv(1 << 20):
                received += chunk
            data.unwrap()
            data.close()
            self.assertEqual(ftp.voidresp()[:3], "226")
            self.assertTrue(bytes(received) == payload, "the download is byte-exact")
            ftp.quit()
        finally:
            self.assertEqual(server.stop(), 0)


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class LoginTimeout(unittest.TestCase):
    def test_a_client_that_never_logs_in_is_closed(self):
        tmp = tempfile.mkdtemp(prefix="nbftp-lt-")
        self.addCleanup(shutil.rmtree, tmp, True)
        config = os.path.join(tmp, "ftp.toml")
        with open(config, "w") as f:
            f.write(toml_text({"login_timeout": 1, "allow_anonymous": "true"}, []))
        server = RunningServer(extra_args=["--config", config])
        try:
            logged_in = server.client(user="anonymous", password="guest@")
            idle = server.client(user=None)
            idle.sock.settimeout(20)
            # The only thing left to read is the close.
            self.assertEqual(idle.sock.recv(100), b"")
            self.assertTrue(server.wait_for_log(lambda l: l == "Login timeout. Host: 127.0.0.1"))
            self.assertEqual(logged_in.sendcmd("NOOP")[:3], "200")
            logged_in.close()
            idle.close()
        finally:
            self.assertEqual(server.stop(), 0)


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class CheckConfig(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nbftp-check-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.key = os.path.join(self.tmp, "key.pem")
        self.cert = os.path.join(self.tmp, "cert.pem")
        for path in (self.key, self.cert):
            with open(path, "w") as f:
                f.write("placeholder\n")
        os.chmod(self.key, 0o644)

    def check(self, text, *args):
        path = os.path.join(self.tmp, "ftp.toml")
        with open(path, "w") as f:
            f.write(text)
        r = subprocess.run([SERVER, *args, path] if args else [SERVER, "--check-config", path],
                           capture_output=True, text=True, timeout=60)
        return path, r

    def test_errors_have_their_place(self):
        good = hash_password("pw")
        cases = [  # file text, expected "line:column: message" start
            (f'[server]\nroot = "{self.tmp}"\n[[account]]\nname = "a"\npassword = "{good}"\n',
             None),
            ('[server]\nport = 21\nbogus = 1\n', "3:1: unknown key 'server.bogus'"),
            ('[server]\nport = "21"\n', "2:8: 'server.port' must be an integer"),
            ('[server]\nallow_anonymous = 1\n', "2:19: 'server.allow_anonymous' must be true or"),
            (f'[server]\ncertificate = "{self.cert}"\nprivate_key = "{self.key}"\n',
             "3:15: 'server.private_key' '" + self.key + "' must not be readable by group"),
            ('[[account]]\nname = "a"\npassword = "secret"\n',
             "3:12: the password of account 'a' is no yescrypt"),
            ('[server]\nroot = "/no/such/dir"\n', "2:8: 'server.root' '/no/such/dir' cannot be"),
            ('[server]\npassive_ports = ""\n', "2:17: 'server.passive_ports' must be a range"),
            ('[server]\npassive_ports = "50100-50000"\n',
             "2:17: 'server.passive_ports' must be a range"),
            ('[server\n', "1:8: "),
        ]
        for text, expected in cases:
            with self.subTest(expected=expected):
                path, r = self.check(text)
                if expected is None:
                    self.assertEqual((r.returncode, r.stderr), (0, ""))
                else:
                    self.assertEqual(r.returncode, 1)
                    self.assertTrue(r.stderr.startswith(f"{path}:{expected}"), r.stderr)
                    self.assertNotIn("secret", r.stderr)

    def test_a_broken_file_refuses_to_start(self):
        path, r = self.check('[server]\ntls = "sometimes"\n', "--headless", "--port", "1",
                             "--config")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, "")
        self.assertTrue(r.stderr.startswith(f"{path}:2:7: 'server.tls' must be"), r.stderr)


DIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "dist")


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class Distribution(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nbftp-dist-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def test_the_example_configuration_is_valid_once_its_paths_exist(self):
        for sub in ("alice", "pub"):
            os.makedirs(os.path.join(self.tmp, "srv", sub))
        cert, key, _ = make_certificate(self.tmp, "ftp.example.org")
        with open(os.path.join(DIST, "norbit-ftp.toml")) as f:
            text = f.read()
        for old, new in [("/etc/letsencrypt/live/ftp.example.org/fullchain.pem", cert),
                         ("/etc/letsencrypt/live/ftp.example.org/privkey.pem", key),
                         ("/srv/ftp", os.path.join(self.tmp, "srv")),
                         ("/var/log/norbit-ftp", self.tmp),
                         ("$y$j9T$replace-me$with-the-output-of-hash-password",
                          hash_password("pw"))]:
            self.assertIn(old, text)
            text = text.replace(old, new)
        path = os.path.join(self.tmp, "norbit-ftp.toml")
        with open(path, "w") as f:
            f.write(text)
        r = subprocess.run([SERVER, "--check-config", path], capture_output=True, text=True,
                           timeout=60)
        self.assertEqual((r.returncode, r.stderr), (0, ""))

    @unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze is not installed")
    def test_systemd_accepts_the_unit(self):
        with open(os.path.join(DIST, "norbit-ftp.service")) as f:
            text = f.read().replace("/usr/local/bin/NorbitFtpServerSSL", os.path.abspath(SERVER))
        unit = os.path.join(self.tmp, "norbit-ftp.service")
        with open(unit, "w") as f:
            f.write(text)
        r = subprocess.run(["systemd-analyze", "verify", unit], capture_output=True, text=True,
                           timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn("norbit-ftp.service", r.stderr)


if __name__ == "__main__":
    unittest.main()
