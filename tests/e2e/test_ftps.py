"""FTPS end to end: the TLS modes with Python's ftplib, curl, lftp and openssl s_client, the
protected data connections, and peers that break the rules (injection, plain text on the TLS
port, garbage where a handshake belongs)."""
import ftplib
import io
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import unittest

from nbftp_harness import SERVER, USER, PASSWORD, RunningServer

MODES = ("implicit", "allow-explicit", "require-explicit")
# Binary content that a text-mode path would damage: CR, LF, CR LF and NUL bytes.
PAYLOAD = (b"\r\n\0\r\r\n\n\x00\xff" * 37 + bytes(range(256))) * 400


def client_context(tls13=False):
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    if tls13:
        context.minimum_version = ssl.TLSVersion.TLSv1_3
    return context


class ExplicitClient(ftplib.FTP_TLS):
    """FTP_TLS that notes whether each data connection resumed; with reuse it offers the
    control connection's session (or another client's, given as session_from)."""

    def __init__(self, reuse=False, session_from=None, **kw):
        super().__init__(**kw)
        self.reuse = reuse
        self.session_from = session_from
        self.resumed = []

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            session = None
            if self.reuse:
                session = (self.session_from or self).sock.session
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=session)
            self.resumed.append(conn.session_reused)
        return conn, size


class ImplicitClient(ExplicitClient):
    def connect(self, host="", port=0, timeout=-999, source_address=None):
        self.host, self.port = host, port
        if timeout != -999:
            self.timeout = timeout
        plain = socket.create_connection((host, port), self.timeout)
        self.af = plain.family
        self.sock = self.context.wrap_socket(plain, server_hostname=host)
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.welcome = self.getresp()
        return self.welcome


def login(server, mode, tls13=False, context=None, prot_first=False, **kw):
    """prot_first: PBSZ and PROT P before USER, as some clients send them."""
    cls = ImplicitClient if mode == "implicit" else ExplicitClient
    ftp = cls(context=context or client_context(tls13), timeout=30, **kw)
    ftp.connect("127.0.0.1", server.port)
    if mode != "implicit":
        ftp.auth()
    if prot_first:
        ftp.prot_p()
    ftp.login(USER, PASSWORD)
    if not prot_first:
        ftp.prot_p()
    return ftp


def retr(ftp, name, rest=None):
    parts = []
    ftp.retrbinary("RETR " + name, parts.append, rest=rest)
    return b"".join(parts)


def lines_after(sock_file, count):
    return [sock_file.readline().rstrip("\r\n") for _ in range(count)]


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class Ftps(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.mkdtemp(prefix="nbftp-keys-")
        cls.servers = {mode: RunningServer(tls=mode, keys_dir=cls.keys) for mode in MODES}

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers.values():
            server.stop()
        shutil.rmtree(cls.keys, ignore_errors=True)

    def test_ftplib_in_every_mode_passive_and_active_with_and_without_session_reuse(self):
        for mode in MODES:
            for reuse in (False, True):
                for passive in (True, False):
                    with self.subTest(mode=mode, reuse=reuse, passive=passive):
                        ftp = login(self.servers[mode], mode, reuse=reuse)
                        ftp.set_pasv(passive)
                        name = f"f-{mode}-{reuse}-{passive}.bin"
                        ftp.storbinary("STOR " + name, iter_bytes(PAYLOAD))
                        self.assertEqual(retr(ftp, name), PAYLOAD)
                        self.assertEqual(retr(ftp, name, rest=1000), PAYLOAD[1000:])
                        ftp.storbinary("STOR empty-" + name, iter_bytes(b""))
                        self.assertEqual(retr(ftp, "empty-" + name), b"")
                        self.assertIn(name, ftp.nlst())
                        # Resumption is the client's choice; the server never requires it.
                        self.assertEqual(set(ftp.resumed), {reuse})
                        ftp.quit()
        # A login keeps the protection asked for before it: the client wraps the listing's
        # data connection in TLS, which fails if the server sends it in clear.
        for mode in MODES:
            with self.subTest(mode=mode, prot="before USER"):
                ftp = login(self.servers[mode], mode, prot_first=True)
                ftp.retrlines("LIST", lambda _: None)
                self.assertEqual(len(ftp.resumed), 1)
                ftp.quit()
        # One log line for every protected data connection, saying whether it resumed.
        log = self.servers["allow-explicit"].log()
        self.assertTrue(any(l.endswith(", session resumed") for l in log))
        self.assertTrue(any(l.endswith(", new session") for l in log))

    def test_curl_lftp_and_openssl_s_client(self):
        big = os.urandom(1 << 20) * 100  # 100 MB
        cases = [
            # (mode, client, content): an upload and a download of the same file
            ("implicit", "curl", big),
            ("allow-explicit", "curl", PAYLOAD),
            ("require-explicit", "curl", PAYLOAD),
            ("implicit", "lftp", PAYLOAD),
            ("require-explicit", "lftp", PAYLOAD),
        ]
        tmp = tempfile.mkdtemp(prefix="nbftp-cli-")
        try:
            for mode, tool, data in cases:
                with self.subTest(mode=mode, tool=tool):
                    server = self.servers[mode]
                    src, dst = os.path.join(tmp, "src"), os.path.join(tmp, "dst")
                    with open(src, "wb") as f:
                        f.write(data)
                    name = f"{tool}-{mode}.bin"
                    scheme = "ftps" if mode == "implicit" else "ftp"
                    url = f"{scheme}://{USER}:{PASSWORD}@127.0.0.1:{server.port}/{name}"
                    if tool == "curl":
                        base = ["curl", "-sS", "-k", "--ssl-reqd", "--max-time", "120"]
                        commands = [base + ["-T", src, url], base + ["-o", dst, url]]
                    else:
                        script = ("set ssl:verify-certificate no; set ftp:ssl-force yes; "
                                  "set ftp:ssl-protect-data yes; "
                                  f"open -u {USER},{PASSWORD} -p {server.port} "
                                  f"{scheme}://127.0.0.1; put {src} -o {name}; "
                                  f"get {name} -o {dst}")
                        commands = [["lftp", "-c", script]]
                    for argv in commands:
                        r = subprocess.run(argv, capture_output=True, timeout=180)
                        self.assertEqual(r.returncode, 0, r.stderr)
                    with open(dst, "rb") as f:
                        self.assertTrue(f.read() == data, "download differs")
                    with open(os.path.join(server.root, name), "rb") as f:
                        self.assertTrue(f.read() == data, "upload differs")
                    os.remove(dst)
            for mode in ("allow-explicit", "require-explicit"):
                with self.subTest(mode=mode, tool="openssl s_client"):
                    r = subprocess.run(
                        ["openssl", "s_client", "-quiet", "-ign_eof", "-starttls", "ftp",
                         "-connect", f"127.0.0.1:{self.servers[mode].port}"],
                        input=f"USER {USER}\r\nPASS {PASSWORD}\r\nPWD\r\nQUIT\r\n".encode(),
                        capture_output=True, timeout=60)
                    out = r.stdout.decode(errors="replace")
                    for reply in ("230 ", '257 "/"', "221 "):
                        self.assertIn(reply, out)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)

    def test_refusals_and_peers_that_break_the_rules(self):
        require = self.servers["require-explicit"]
        allow = self.servers["allow-explicit"]
        implicit = self.servers["implicit"]

        def plain(server, *lines):
            with socket.create_connection(("127.0.0.1", server.port), timeout=30) as s:
                f = s.makefile("r", encoding="latin-1", newline="\r\n")
                replies = [f.readline().rstrip("\r\n")]
                for line in lines:
                    s.sendall(line.encode() + b"\r\n")
                    replies.append(f.readline().rstrip("\r\n"))
                return replies[1:]

        # Nothing but the TLS commands runs in clear under require.
        self.assertEqual(plain(require, "USER x", "PASV", "AUTH TLS-C", "PBSZ 0", "PROT X"),
                         ["500 Sorry SSL encryption is required"] * 2 +
                         ["504 Unknown auth method TLS-C", "200 Protection buffer size set to 0",
                          "536 Unsupported option"])
        self.assertEqual(plain(allow, "AUTH tls"), ["234 Enabling SSL"])

        # Injection: commands behind a granted AUTH in the same read never run, in clear or
        # later; the first reply inside TLS answers the first command sent inside TLS.
        with socket.create_connection(("127.0.0.1", allow.port), timeout=30) as s:
            f = s.makefile("rb")
            f.readline()
            s.sendall(b"AUTH TLS\r\nUSER injected\r\nPART")
            self.assertEqual(f.readline(), b"234 Enabling SSL\r\n")
            t = client_context().wrap_socket(s)
            t.sendall(b"PBSZ 0\r\n")
            self.assertEqual(t.recv(100), b"200 Protection buffer size set to 0\r\n")
            t.close()
        self.assertFalse(any("injected" in l for l in allow.log()))

        # Plain text on the implicit port gets no FTP reply, and garbage after AUTH ends that
        # connection only.
        for server, prefix in ((implicit, b""), (allow, b"AUTH TLS\r\n")):
            with socket.create_connection(("127.0.0.1", server.port), timeout=30) as s:
                if prefix:
                    s.recv(100)
                    s.sendall(prefix)
                    self.assertEqual(s.recv(100), b"234 Enabling SSL\r\n")
                s.sendall(b"USER anonymous\r\nGARBAGE\r\n")
                received = b""
                try:
                    while chunk := s.recv(100):
                        received += chunk
                except ConnectionResetError:
                    pass
                self.assertFalse(received[:1].isdigit(), received)
        for mode in ("implicit", "allow-explicit"):
            login(self.servers[mode], mode).quit()  # still serving

        # Garbage instead of a ClientHello on the data connection: a failed transfer, and the
        # session goes on.
        ftp = login(allow, "allow-explicit")
        ftp.storbinary("STOR g.bin", iter_bytes(PAYLOAD))
        host, port = ftplib.parse227(ftp.sendcmd("PASV"))
        ftp.putcmd("RETR g.bin")
        self.assertTrue(ftp.getresp().startswith("150 "))
        with socket.create_connection((host, port), timeout=30) as data:
            data.sendall(b"GARBAGE GARBAGE GARBAGE\r\n")
            self.assertEqual(lines_after(ftp.file, 2),
                             ["426 Connection closed, transfer aborted.", "226 Transfer aborted."])
        self.assertEqual(ftp.voidcmd("NOOP"), "200 NOOP command successful.")
        ftp.quit()

    def test_abor_inside_tls_while_the_download_blocks(self):
        server = self.servers["implicit"]
        with open(os.path.join(server.root, "abor.bin"), "wb") as f:
            f.write(os.urandom(1 << 20) * 64)
        ftp = login(server, "implicit")
        conn, _ = ftp.ntransfercmd("RETR abor.bin")
        self.assertTrue(conn.recv(1024))
        # The client stops reading, so the server's sends block; ABOR travels inside TLS.
        ftp.sock.sendall(b"ABOR\r\n")
        self.assertEqual(lines_after(ftp.file, 2),
                         ["426 Connection closed, transfer aborted.", "226 Transfer aborted."])
        conn.close()
        self.assertEqual(ftp.voidcmd("NOOP"), "200 NOOP command successful.")
        ftp.quit()


class FreshProgram(unittest.TestCase):
    """Programs of their own: a fresh key store, and the settings beyond the defaults."""

    def test_eight_first_handshakes_make_one_certificate_and_one_key(self):
        keys = tempfile.mkdtemp(prefix="nbftp-keys-")
        try:
            seen = []
            for run in range(2):  # a second run reuses the key container
                server = RunningServer(tls="implicit", keys_dir=keys)
                try:
                    certificates = [None] * 8
                    barrier = threading.Barrier(8)

                    def handshake(i):
                        barrier.wait()
                        with socket.create_connection(("127.0.0.1", server.port), 30) as s:
                            with client_context().wrap_socket(s) as t:
                                certificates[i] = t.getpeercert(binary_form=True)
                                t.recv(100)

                    threads = [threading.Thread(target=handshake, args=(i,)) for i in range(8)]
                    for t in threads:
                        t.start()
                    for t in threads:
                        t.join(60)
                    self.assertEqual(len(set(certificates)), 1)
                    self.assertIsNotNone(certificates[0])
                    seen.append(certificates[0])
                finally:
                    self.assertEqual(server.stop(), 0)
                files = [os.path.join(d, f) for d, _, fs in os.walk(keys) for f in fs]
                self.assertEqual(len(os.listdir(keys)), 1, files)
                self.assertEqual(len(files), 1, files)
            self.assertNotEqual(seen[0], seen[1], "each run makes its own certificate")
        finally:
            shutil.rmtree(keys, ignore_errors=True)

    def test_settings_tls13_reuse_policy_and_strict_upload_end(self):
        cases = [
            # (extra args, tls13 client, reuse, other client's session, expected)
            ((), True, False, False, "refused"),
            (("--tls13",), True, True, False, "resumed"),
            (("--tls-data-session-reuse", "require"), False, False, False, "522"),
            (("--tls-data-session-reuse", "require"), False, True, False, "resumed"),
            ((), False, True, True, "new"),  # never another client's session
            (("--tls13",), True, True, True, "new"),  # nor another client's ticket
            (("--tls-data-session-reuse", "none"), False, True, False, "new"),
        ]
        for args, tls13, reuse, foreign, expected in cases:
            with self.subTest(args=args, tls13=tls13, reuse=reuse, foreign=foreign):
                server = RunningServer(tls="allow-explicit", extra_args=args)
                try:
                    if expected == "refused":
                        with self.assertRaises(ssl.SSLError):
                            login(server, "allow-explicit", tls13=True)
                        continue
                    other = login(server, "allow-explicit", tls13) if foreign else None
                    ftp = login(server, "allow-explicit", tls13, reuse=reuse,
                                session_from=other, context=other and other.context)
                    if expected == "522":
                        conn, _ = ftp.ntransfercmd("LIST")
                        conn.close()
                        with self.assertRaises(ftplib.error_perm) as e:
                            ftp.voidresp()
                        self.assertEqual(str(e.exception), "522 Data connections must resume "
                                         "the TLS session of the control connection")
                    else:
                        ftp.storbinary("STOR r.bin", iter_bytes(PAYLOAD))
                        self.assertEqual(retr(ftp, "r.bin"), PAYLOAD)
                        self.assertEqual(set(ftp.resumed), {expected == "resumed"})
                    ftp.quit()
                finally:
                    self.assertEqual(server.stop(), 0)

        # An upload whose client closes without close_notify: kept, and reported as it ended.
        for strict in (False, True):
            with self.subTest(strict=strict):
                server = RunningServer(tls="implicit",
                                       extra_args=("--tls-strict-upload-eof",) if strict else ())
                try:
                    ftp = login(server, "implicit")
                    conn, _ = ftp.ntransfercmd("STOR cut.bin")
                    conn.sendall(PAYLOAD)
                    conn.close()  # no unwrap: no close_notify
                    expected = (["426 Upload ended without TLS close_notify; data may be "
                                 "truncated", "226 Transfer aborted."] if strict
                                else ["226 Transfer complete."])
                    self.assertEqual(lines_after(ftp.file, len(expected)), expected)
                    with open(os.path.join(server.root, "cut.bin"), "rb") as f:
                        self.assertEqual(f.read(), PAYLOAD)
                    ftp.quit()
                finally:
                    self.assertEqual(server.stop(), 0)


def iter_bytes(data):
    """A file-like source for storbinary."""
    return io.BytesIO(data)


if __name__ == "__main__":
    unittest.main()
