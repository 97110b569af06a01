#!/usr/bin/env python3
"""snpp-send against an independent RFC 1861 server (Net::SNPP::Server), checked in its log;
and the same server behind a real TLS terminator (stunnel4), paged with --tls.

usage: interop_test.py SNPP_SEND PEERS_DIR [MAKE_CERTS]
PEERS_DIR holds start-netsnpp-server.sh and stop-peer.sh; the start script installs the server
package when it is missing (as root). Without PEERS_DIR the test is skipped; without MAKE_CERTS
(tests/tls/make_certs.sh) or stunnel4, the TLS case is.
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SEND = PEERS = MAKE_CERTS = None


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class NetSnppServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not PEERS or not os.path.exists(os.path.join(PEERS, "start-netsnpp-server.sh")):
            raise unittest.SkipTest("no peer scripts at %r" % PEERS)
        cls.state = tempfile.mkdtemp(prefix="netsnpp-")
        cls.port = free_port()
        r = subprocess.run(["bash", os.path.join(PEERS, "start-netsnpp-server.sh"), str(cls.port),
                            cls.state, "--", "--timeout", "30"],
                           capture_output=True, text=True, timeout=300)
        if r.returncode != 0 or "READY" not in r.stdout:
            raise RuntimeError("peer did not start: " + r.stdout + r.stderr)
        cls.log = os.path.join(cls.state, "netsnpp.log")

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["bash", os.path.join(PEERS, "stop-peer.sh"), cls.state],
                       capture_output=True, timeout=30)

    def pages(self):
        with open(self.log, errors="replace") as f:
            return [l.split(" EV PAGE ", 1)[1].rstrip("\n") for l in f if " EV PAGE " in l]

    def send(self, *args):
        return subprocess.run([SEND, "--port", str(self.port), "-v", *args],
                              capture_output=True, text=True, timeout=60)

    def test_level_one_page(self):
        before = len(self.pages())
        r = self.send("--level", "1", "--pager", "5551234", "--message", "disk full on db1")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertRegex(r.stdout, r"^delivered: 250")
        page = self.pages()[before]
        self.assertIn("pager=5551234", page)
        self.assertIn("mess=disk full on db1", page)

    def test_level_two_page_with_hold_alert_subject_and_body(self):
        before = len(self.pages())
        body = "line one\n.\n..two dots\nlast"
        with tempfile.NamedTemporaryFile("w", delete=False) as f:
            f.write(body)
        try:
            r = self.send("--level", "2", "--pager", "5551234", "--data-file", f.name,
                          "--hold", "370101120000", "--alert", "--subject", "Disk alert",
                          "--login", "ops")
        finally:
            os.unlink(f.name)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        page = self.pages()[before]
        self.assertIn("alert=1", page)
        self.assertRegex(page, r"hold=\S*3701011200")
        self.assertIn("subj=Disk alert", page)
        self.assertIn(r"mess=line one\n.\n..two dots\nlast\n", page)

    def connects(self):
        with open(self.log, errors="replace") as f:
            return sum(1 for l in f if " EV CONNECT" in l)

    def test_a_batch_of_ten_in_one_session(self):
        before, connects = len(self.pages()), self.connects()
        pagers = [str(5552000 + i) for i in range(10)]
        r = self.send("--level", "2", "--batch", "10", "--alert", "--subject", "Disk alert",
                      "--message", "disk full on db1", "--json",
                      *[a for p in pagers for a in ("--pager", p)])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        pages = self.pages()[before:]
        self.assertEqual([re.search(r"pager=(\S+)", p).group(1) for p in pages], pagers)
        for page in pages:
            self.assertIn("alert=1", page)
            self.assertIn("subj=Disk alert", page)
            self.assertIn("mess=disk full on db1", page)
        self.assertEqual(self.connects() - connects, 1, "one session for the ten")
        self.assertEqual(r.stderr.count("> ALER 1"), 10, "the option before each PAGE")
        self.assertEqual(r.stderr.count("> SEND"), 1)

    def test_refused_pager(self):
        r = self.send("--pager", "123", "--message", "x")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertRegex(r.stdout, r"^failed: 550")


class NetSnppBehindStunnel(NetSnppServer):
    """The peer on a plain port, stunnel4 in front of it holding a certificate of the test CA."""

    @classmethod
    def setUpClass(cls):
        stunnel = shutil.which("stunnel4") or shutil.which("stunnel")
        if not MAKE_CERTS or not stunnel:
            raise unittest.SkipTest("no certificate script or no stunnel4")
        super().setUpClass()
        cls.certs = os.path.join(cls.state, "certs")
        subprocess.run(["sh", MAKE_CERTS, cls.certs], check=True, capture_output=True)
        cls.plain_port, cls.port = cls.port, free_port()
        conf = os.path.join(cls.state, "stunnel.conf")
        with open(conf, "w") as f:
            f.write("foreground = yes\npid =\ndebug = 5\noutput = %s\n"
                    "[snpp]\naccept = 127.0.0.1:%d\nconnect = 127.0.0.1:%d\ncert = %s\n"
                    % (os.path.join(cls.state, "stunnel.log"), cls.port, cls.plain_port,
                       os.path.join(cls.certs, "stunnel-server.pem")))
        cls.stunnel = subprocess.Popen([stunnel, conf], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or cls.stunnel.poll() is not None:
                    cls.tearDownClass()
                    raise RuntimeError("stunnel did not start")
                time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        cls.stunnel.terminate()
        cls.stunnel.wait(timeout=10)
        super().tearDownClass()

    def send(self, *args):
        return super().send("--tls", "--ca-file", os.path.join(self.certs, "ca.pem"), *args)

    def test_tls_needs_the_ca(self):
        r = subprocess.run([SEND, "--port", str(self.port), "--tls", "--pager", "5551234",
                            "--message", "x"], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("is not trusted: unable to get local issuer certificate; trust the CA that "
                      "issued it", r.stdout)
        self.assertIn("Give that CA with --ca-file (or --ca-path).", r.stdout)


if __name__ == "__main__":
    SEND = sys.argv[1]
    PEERS = sys.argv[2] if len(sys.argv) > 2 else None
    MAKE_CERTS = sys.argv[3] if len(sys.argv) > 3 else None
    unittest.main(argv=[sys.argv[0], "-v"])
