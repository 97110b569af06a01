#!/usr/bin/env python3
"""snpp-relay's operator commands (pages, gateways) against a real relay and a scripted gateway.

usage: operator_cli_test.py SNPP_RELAY SNPP_SANDBOX
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

import relay_test
from relay_test import TOKEN, Relay, free_port, wait_for
from scripted_gateway import ScriptedGateway


class OperatorCli(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="operator-cli-test-")
        cls.gateway = ScriptedGateway()
        cls.relay = Relay(cls.dir, [("scripted", cls.gateway.port, 2)]).start()
        cls.url = "http://127.0.0.1:%d" % cls.relay.port
        cls.token_file = cls.file("token", "# the operator's token\n\n  %s  \n" % TOKEN)

    @classmethod
    def tearDownClass(cls):
        cls.relay.stop()
        cls.gateway.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def file(cls, name, text, mode=0o600):
        path = os.path.join(cls.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def cli(self, *args, url=True, token_file=True, timeout=30):
        command = [relay_test.RELAY, *args]
        if url:
            command += ["--url", self.url]
        if token_file:
            command += ["--token-file", self.token_file]
        env = {k: v for k, v in os.environ.items() if not k.startswith("SNPP_RELAY_")}
        result = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env)
        for stream in (result.stdout, result.stderr):
            self.assertNotIn(TOKEN, stream)
            self.assertNotIn("\x1b", stream)
        return result

    def test_pages_show_tells_each_outcome_by_its_exit_code(self):
        relay = self.relay
        cases = [  # pagers, final states (None: not decided), exit code
            (["5551234"], ["delivered"], 0),
            (["refuse-1"], ["refused"], 1),
            (["busy-1"], None, 3),
            (["drop-1"], ["uncertain"], 4),
            (["5551235", "refuse-2"], ["delivered", "refused"], 4),
        ]
        ids = [relay.post_page({"pagers": p, "message": "case %d" % i})
               for i, (p, _, _) in enumerate(cases)]
        for page_id, (pagers, states, _) in zip(ids, cases):
            if states:
                wait_for("the outcome of %s" % pagers, lambda: relay.states(page_id) == states)
            else:
                wait_for("an attempt", lambda: relay.page(page_id)["recipients"][0]["attempts"] > 0)
        for page_id, (pagers, states, code) in zip(ids, cases):
            with self.subTest(pagers=pagers):
                shown = self.cli("pages", "show", page_id)
                self.assertEqual(shown.returncode, code, shown.stdout + shown.stderr)
                lines = shown.stdout.splitlines()
                self.assertTrue(lines[0].startswith("page %s from api, created " % page_id))
                self.assertEqual(lines[1], "message: case %d" % ids.index(page_id))
                self.assertEqual(lines[2].split(), ["PAGER", "STATE", "ATTEMPTS", "GATEWAY",
                                                    "UPDATED", "LAST", "REPLY"])
                rows = [line.split()[:4] for line in lines[3:]]
                self.assertEqual([r[0] for r in rows], pagers)
                if states:
                    self.assertEqual([r[1] for r in rows], states)
                as_json = self.cli("pages", "show", page_id, "--json")
                self.assertEqual(as_json.returncode, code)
                self.assertEqual(json.loads(as_json.stdout)["recipients"][0]["pager"], pagers[0])
        # The gateway's markup and ESC come out as text: escaped, never passed to the terminal.
        refused = self.cli("pages", "show", ids[1]).stdout
        self.assertIn("550 <b>no such pager</b> \\x1b[31m<img src=x", refused)

        # From the relay's own configuration: its listen address and first token.
        with open(relay.config) as f:
            text = f.read().replace('listen = "127.0.0.1:0"', 'listen = "127.0.0.1:%d"' % relay.port)
        config = self.file("operator.toml", text)
        through_config = self.cli("--config", config, "pages", "show", ids[0], url=False,
                                  token_file=False)
        self.assertEqual(through_config.returncode, 0, through_config.stderr)
        self.assertIn("5551234", through_config.stdout)

    def test_each_command_asks_the_relay_the_right_question(self):
        page_id = self.relay.post_page({"pagers": ["drop-2"], "message": "x"})
        # Today's relay has no list or action endpoint: its 404 names what was asked.
        cases = [
            (["pages", "list", "--state", "uncertain", "--receiver", "on call", "--limit", "5"],
             "GET /v1/pages"),
            (["pages", "resend", page_id, "a/b?c"],
             "POST /v1/pages/%s/recipients/a%%2Fb%%3Fc/resend" % page_id),
            (["pages", "dismiss", page_id, "..", "--note", "it arrived"],
             "POST /v1/pages/%s/recipients/%%2E%%2E/dismiss" % page_id),
        ]
        for args, asked in cases:
            with self.subTest(args=args):
                result = self.cli(*args)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn("the relay answered 404: no such endpoint: " + asked, result.stderr)
                self.assertIn("older than this snpp-relay", result.stderr)
                as_json = json.loads(self.cli(*args, "--json").stdout)
                self.assertEqual(as_json["exitCode"], 1)

    def test_bad_input_and_hostile_files_are_refused_before_anything_is_sent(self):
        page_id = self.relay.post_page({"pagers": ["5551236"], "message": "x"})
        folder = os.path.join(self.dir, "a-folder")
        os.makedirs(folder, exist_ok=True)
        fifo = os.path.join(self.dir, "fifo")
        if not os.path.exists(fifo):
            os.mkfifo(fifo, 0o600)
        open_to_all = self.file("open-token", TOKEN + "\n", mode=0o644)
        wrong = self.file("wrong-token", "not-" + TOKEN + "\n")
        control = self.file("control-token", TOKEN + "\x1b\n")
        empty = self.file("empty-token", "# nothing\n\n")
        secret_url = "http://operator:%s@127.0.0.1:%d" % (TOKEN, self.relay.port)
        cases = [  # arguments, what the test adds (--url, --token-file), exit code, words
            (["pages", "show", page_id], "url", 2, "no token"),
            (["pages", "show", page_id, "--token-file", open_to_all], "url", 2, "every user"),
            (["pages", "show", page_id, "--token-file", folder], "url", 2, "not a regular file"),
            (["pages", "show", page_id, "--token-file", fifo], "url", 2, "not a regular file"),
            (["pages", "show", page_id, "--token-file", "/dev/zero"], "url", 2, "not a regular"),
            (["pages", "show", page_id, "--token-file", control], "url", 2, "control character"),
            (["pages", "show", page_id, "--token-file", empty], "url", 2, "holds no token"),
            (["pages", "show", page_id, "--token-file", wrong], "url", 1, "check the token file"),
            (["pages", "show", page_id, "--url", secret_url], "token", 2, "user name or password"),
            (["pages", "show", page_id, "--url", self.url + "/?token=" + TOKEN], "token", 2, "query"),
            (["pages", "show", page_id, "--url", "ftp://127.0.0.1:21"], "token", 2, "http://"),
            (["pages", "show", "../etc"], "both", 2, "not a page id"),
            (["pages", "resend", page_id, "55\x1b1"], "both", 2, "control character"),
            (["pages", "dismiss", page_id, "1", "--note", "a\nb"], "both", 2, "control characters"),
            (["pages", "list", "--state", "lost"], "both", 2, "not a state"),
            (["pages", "list", "--since", "yesterday"], "both", 2, "--since"),
            (["pages", "list", "--limit", "0"], "both", 2, "--limit"),
            (["pages", "show", page_id, "--timeout", "nan"], "both", 2, "--timeout"),
            (["pages", "show", page_id, "--timeout", "-1"], "both", 2, "--timeout"),
            (["pages"], "both", 2, "subcommand"),
        ]
        for args, adds, code, words in cases:
            with self.subTest(args=args):
                result = self.cli(*args, url=adds in ("url", "both"),
                                  token_file=adds in ("token", "both"))
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(words, result.stderr)

        # No relay there; and one that takes the connection but never answers.
        gone = self.cli("pages", "show", page_id, "--url", "http://127.0.0.1:%d" % free_port(),
                        url=False)
        self.assertEqual(gone.returncode, 1)
        self.assertIn("cannot reach the relay", gone.stderr)
        with socket.socket() as silent:
            silent.bind(("127.0.0.1", 0))
            silent.listen(1)
            stuck = self.cli("pages", "show", page_id, "--timeout", "1", "--url",
                             "http://127.0.0.1:%d" % silent.getsockname()[1], url=False)
        self.assertEqual(stuck.returncode, 3, stuck.stderr)
        self.assertIn("within 1 s", stuck.stderr)
        self.assertNotIn(TOKEN, self.relay.log_text())


if __name__ == "__main__":
    relay_test.RELAY, relay_test.SANDBOX = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
