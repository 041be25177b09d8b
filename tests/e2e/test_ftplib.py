"""A whole session, big-file integrity, many clients and hostile input, with Python's ftplib."""
import ftplib
import hashlib
import io
import os
import random
import socket
import threading
import time
import unittest

from nbftp_harness import ServerTestCase, open_fd_count


def payload(size, seed=1):
    rnd = random.Random(seed)
    # CR, LF and NUL bytes are in the alphabet on purpose: transfers must not touch them.
    head = b"line1\r\nline2\nline3\r\x00\x00\xff"
    return head + rnd.randbytes(max(0, size - len(head)))


class WholeSession(ServerTestCase):
    def test_greeting_login_and_directory_commands(self):
        ftp = self.server.client(user=None)
        self.assertEqual(ftp.getwelcome(), "220 Norbit Internet Suite FTP service")
        with self.assertRaises(ftplib.error_perm) as e:
            ftp.sendcmd("PWD")
        self.assertEqual(str(e.exception), "530 Not logged in.")
        self.assertEqual(ftp.login("NorbitTester", "mivoraplexan"), "230 User NorbitTester logged in.")
        self.assertEqual(ftp.sendcmd("PWD"), '257 "/" is current directory.')
        self.assertEqual(ftp.sendcmd("MKD session"), "257 session directory created.")
        self.assertEqual(ftp.sendcmd("CWD session"), "250 CWD command successful.")
        self.assertEqual(ftp.sendcmd("PWD"), '257 "/session" is current directory.')
        self.assertEqual(ftp.sendcmd("SYST"), "215 UNIX Type: L8")
        data = payload(100_000)
        ftp.storbinary("STOR a.bin", io.BytesIO(data))
        self.assertEqual(ftp.sendcmd("SIZE a.bin"), f"213 {len(data)}")
        self.assertRegex(ftp.sendcmd("MDTM a.bin"), r"^213 \d{14}$")
        out = io.BytesIO()
        ftp.retrbinary("RETR a.bin", out.write)
        self.assertEqual(out.getvalue(), data)
        self.assertEqual(ftp.nlst(), ["a.bin"])
        lines = []
        ftp.retrlines("LIST", lines.append)
        self.assertEqual(len(lines), 1)
        self.assertTrue(lines[0].endswith(" a.bin"))
        self.assertEqual(ftp.sendcmd("RNFR a.bin"), "350 File exists, ready for destination name")
        self.assertEqual(ftp.sendcmd("RNTO b.bin"), "250 RNTO command successful.")
        self.assertEqual(ftp.nlst(), ["b.bin"])
        self.assertEqual(ftp.sendcmd("DELE b.bin"), "250 DELE command successful.")
        self.assertEqual(ftp.sendcmd("CDUP"), "250 CWD command successful.")
        self.assertEqual(ftp.sendcmd("RMD session"), "250 RMD command successful.")
        self.assertEqual(ftp.quit(), "221 Bye Bye.")
        log = self.server.log()
        self.assertIn("Command: USER NorbitTester", log)
        self.assertTrue(any(l.startswith("Accept Connection. Host: 127.0.0.1") for l in log))
        # The password never reaches the log.
        self.assertFalse(any("mivoraplexan" in l for l in log))

    def test_resume_download_and_upload(self):
        ftp = self.server.client()
        data = payload(300_000, seed=2)
        ftp.storbinary("STOR resume.bin", io.BytesIO(data[:100_000]))
        # Resume the upload where it stopped.
        ftp.storbinary("STOR resume.bin", io.BytesIO(data[100_000:]), rest=100_000)
        self.assertEqual(ftp.sendcmd("SIZE resume.bin"), f"213 {len(data)}")
        out = io.BytesIO()
        ftp.retrbinary("RETR resume.bin", out.write, rest=250_000)
        self.assertEqual(out.getvalue(), data[250_000:])
        ftp.delete("resume.bin")
        ftp.quit()

    def test_anonymous_reads_but_cannot_write(self):
        with open(self.root_path("pub.txt"), "wb") as f:
            f.write(b"public\n")
        ftp = self.server.client(user="anonymous", password="guest@example.org")
        out = io.BytesIO()
        ftp.retrbinary("RETR pub.txt", out.write)
        self.assertEqual(out.getvalue(), b"public\n")
        for cmd in ("MKD x", "DELE pub.txt", "RNFR pub.txt"):
            with self.assertRaises(ftplib.error_perm) as e:
                ftp.sendcmd(cmd)
            self.assertEqual(str(e.exception), f"550 {cmd.split(' ', 1)[1]}: Access is denied.")
        with self.assertRaises(ftplib.error_perm):
            ftp.storbinary("STOR up.txt", io.BytesIO(b"x"))
        ftp.quit()
        os.remove(self.root_path("pub.txt"))

    def test_abort_during_download_keeps_session(self):
        with open(self.root_path("big.bin"), "wb") as f:
            f.write(payload(20_000_000, seed=3))
        ftp = self.server.client()
        ftp.voidcmd("TYPE I")
        conn = ftp.transfercmd("RETR big.bin")
        conn.recv(65536)
        reply = ftp.abort()
        conn.close()
        # Either the transfer ended first (226) or it was aborted (426, then 226).
        self.assertIn(reply[:3], ("225", "226", "426"))
        if reply.startswith("426"):
            self.assertEqual(ftp.getresp(), "226 Transfer aborted.")
        self.assertEqual(ftp.sendcmd("NOOP")[:3], "200")
        ftp.quit()
        os.remove(self.root_path("big.bin"))


class BigFile(ServerTestCase):
    def test_100_mb_round_trip_by_hash(self):
        size = 100 * 1024 * 1024
        block = payload(1024 * 1024, seed=4)
        digest = hashlib.sha256()

        class Source(io.RawIOBase):
            sent = 0

            def readable(self):
                return True

            def readinto(self, b):
                if self.sent >= size:
                    return 0
                n = min(len(b), size - self.sent, len(block))
                off = self.sent % len(block)
                n = min(n, len(block) - off)
                b[:n] = block[off:off + n]
                digest.update(block[off:off + n])
                self.sent += n
                return n

        ftp = self.server.client()
        ftp.storbinary("STOR huge.bin", io.BufferedReader(Source()), blocksize=1 << 20)
        self.assertEqual(ftp.sendcmd("SIZE huge.bin"), f"213 {size}")
        back = hashlib.sha256()
        ftp.retrbinary("RETR huge.bin", back.update, blocksize=1 << 20)
        self.assertEqual(back.hexdigest(), digest.hexdigest())
        ftp.delete("huge.bin")
        ftp.quit()


class ManyClients(ServerTestCase):
    def test_twenty_clients_at_once(self):
        errors = []

        def work(i):
            try:
                ftp = self.server.client()
                name = f"client{i}.bin"
                data = payload(200_000 + i * 1000, seed=100 + i)
                ftp.storbinary(f"STOR {name}", io.BytesIO(data))
                self.assertIn(name, ftp.nlst())
                out = io.BytesIO()
                ftp.retrbinary(f"RETR {name}", out.write)
                if out.getvalue() != data:
                    errors.append(f"{name}: content differs")
                ftp.delete(name)
                ftp.quit()
            except Exception as e:  # collected and reported below
                errors.append(f"client {i}: {e!r}")

        threads = [threading.Thread(target=work, args=(i,)) for i in range(20)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(errors, [])


class HostileInput(ServerTestCase):
    def raw(self):
        s = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
        f = s.makefile("rb")
        self.assertTrue(f.readline().startswith(b"220 "))
        return s, f

    def test_hostile_input_never_stops_the_server(self):
        fds_before = open_fd_count(self.server.proc.pid)
        s, f = self.raw()
        s.sendall(b"USER NorbitTester\r\nPASS mivoraplexan\r\n")
        self.assertTrue(f.readline().startswith(b"331"))
        self.assertTrue(f.readline().startswith(b"230"))
        # NUL bytes inside a command become blanks; the line still gets an answer.
        s.sendall(b"NO\x00OP\r\n")
        self.assertTrue(f.readline()[:3] in (b"502", b"200"))
        # Path escapes stay below the root.
        s.sendall(b"CWD ../../../../etc\r\n")
        self.assertTrue(f.readline().startswith(b"550"))
        s.sendall(b"CWD /\r\nCWD ..\\..\\..\r\nPWD\r\n")
        self.assertTrue(f.readline().startswith(b"250"))
        f.readline()
        self.assertEqual(f.readline(), b'257 "/" is current directory.\r\n')
        # PORT to a third host or a privileged port is refused. (A private address from a
        # client that is not itself private is taken as address translation and replaced by
        # the client's own address, so the third host here is a public one.)
        for arg in (b"1,2,3,4,4,1", b"127,0,0,1,0,21", b"127,0,0,1,256,21", b"a,b,c,d,e,f"):
            s.sendall(b"PORT " + arg + b"\r\n")
            self.assertEqual(f.readline(), b"501 invalid argument\r\n", arg)
        f.close()
        s.close()

        # An over-long line without an end is cut off; the server goes on for others.
        s, f = self.raw()
        try:
            s.sendall(b"X" * (4 * 1024 * 1024))
            s.settimeout(10)
            while s.recv(65536):
                pass
        except OSError:
            pass
        f.close()
        s.close()

        # Clients that vanish mid-session.
        for _ in range(5):
            s, f = self.raw()
            s.sendall(b"USER NorbitTester\r\nPASS mivoraplexan\r\nPASV\r\n")
            f.close()
            s.close()

        ftp = self.server.client()
        self.assertEqual(ftp.sendcmd("NOOP")[:3], "200")
        ftp.quit()
        deadline = time.monotonic() + 10
        while open_fd_count(self.server.proc.pid) > fds_before and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertLessEqual(open_fd_count(self.server.proc.pid), fds_before)


if __name__ == "__main__":
    unittest.main()
