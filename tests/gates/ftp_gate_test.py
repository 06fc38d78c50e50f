#!/usr/bin/python3
"""The FTP gate of the real program with real clients (Python's ftplib and lftp) in front of a
pyftpdlib server, all on loopback: the login names the server after "@", the server sees the
bare user name, its multi-line greeting stays hidden, listings and downloads run over data
connections straight to the server."""
import ftplib
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import FtpServer, Home, Program, free_port, private_env  # noqa: E402

CONTENT = b"".join(b"line %d of the file\r\n" % i for i in range(2000))
GREETING = "220 Netrove FTP-Gate started."


class FtpGateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Home("netrove_ftp_root_", {"pub/file.txt": CONTENT}).path
        cls.gate = free_port()
        home = Home("netrove_ftp_", {
            "netrove.dat": f"LogFile netrove.log\nFTP {cls.gate}\nHideFTP Yes\n[office]\n",
            "ftp.ip": "127.0.0.*\n"})
        # A hidden gate binds to IPINTERFACENAME's address only: loopback.
        cls.program = Program(home, "office", "PROXY", tty=False, env={
            "IPINTERFACENAME": "127.0.0.1"}).started("^FTP-gate server started")

    @classmethod
    def tearDownClass(cls):
        cls.program.stop()

    def server(self, banner):
        server = FtpServer(self.root, banner)
        self.addCleanup(server.stop)
        return server

    def test_ftplib_lists_and_downloads(self):
        # pyftpdlib sends a banner over 75 characters as "220-" lines and a "220 " line.
        server = self.server("Welcome to the test server\r\nsecond line\r\n" + "=" * 80)
        client = ftplib.FTP(timeout=20)
        self.addCleanup(client.close)
        self.assertEqual(client.connect("127.0.0.1", self.gate), GREETING)
        self.assertEqual(client.login(f"anonymous@127.0.0.1:{server.port}", "guest@")[:3], "230")
        self.assertEqual(client.nlst("pub"), ["file.txt"])
        listing = []
        client.retrlines("LIST pub", listing.append)
        self.assertEqual([(line.split()[4], line.split()[-1]) for line in listing],
                         [(str(len(CONTENT)), "file.txt")])
        data = bytearray()
        client.retrbinary("RETR pub/file.txt", data.extend)
        self.assertEqual(bytes(data), CONTENT)
        self.assertEqual(client.quit()[:3], "221")
        self.assertEqual(server.commands[:2], ["USER anonymous", "PASS guest@"])

    def test_lftp_lists_and_downloads(self):
        server = self.server("Welcome\r\n220-to lftp's server" + " " * 80)
        # lftp asks FEAT before its login unless told not to: the gate takes the first command
        # for the login and closes on one without "@".
        script = ("set ftp:ssl-allow no; set ftp:use-feat no; set net:max-retries 1; "
                  "set net:timeout 15; "
                  f"open -u 'anonymous@127.0.0.1:{server.port},guest@' -p {self.gate} 127.0.0.1; "
                  "cls -1 pub; cat pub/file.txt")
        home = Home("netrove_lftp_home_").path
        run = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=60,
                             env=private_env(home))
        self.assertEqual((run.returncode, run.stdout), (0, b"pub/file.txt\n" + CONTENT),
                         run.stderr.decode("latin-1")[-2000:] + self.program.report())
        self.assertEqual(server.commands[:2], ["USER anonymous", "PASS guest@"])


if __name__ == "__main__":
    unittest.main()
