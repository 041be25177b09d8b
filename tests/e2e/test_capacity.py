"""Many sessions at once: the program must not be held to the soft descriptor limit it inherits."""
import resource
import unittest

from nbftp_harness import SERVER, RunningServer

SESSIONS = 150
INHERITED_SOFT_LIMIT = 64


@unittest.skipUnless(SERVER, "NB_SERVER is not set")
class Capacity(unittest.TestCase):
    def test_more_sessions_than_the_inherited_soft_descriptor_limit(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard != resource.RLIM_INFINITY and hard < 4 * SESSIONS:
            self.skipTest("the hard descriptor limit is too low for this test")
        # The program starts with a soft limit far below the sessions to come.
        resource.setrlimit(resource.RLIMIT_NOFILE, (INHERITED_SOFT_LIMIT, hard))
        try:
            server = RunningServer()
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        self.addCleanup(server.stop)
        with open(f"/proc/{server.proc.pid}/limits") as f:
            line = next(l for l in f if l.startswith("Max open files"))
        self.assertEqual(line.split()[3], line.split()[4], line)

        sessions = []
        try:
            for _ in range(SESSIONS):
                sessions.append(server.client())
            self.assertTrue(all(s.pwd() == "/" for s in sessions))
        finally:
            for s in sessions:
                s.close()


if __name__ == "__main__":
    unittest.main()
