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
        # Each segment decoded once by the relay: what it names is what was typed.
        cases = [  # arguments, exit code, words
            (["pages", "list", "--state", "uncertain", "--receiver", "on call", "--limit", "5"], 0,
             "no page"),
            (["pages", "resend", page_id, "a/b?c"], 1,
             'the relay answered 404: page %s has no recipient with the pager id "a/b?c"' % page_id),
            (["pages", "dismiss", page_id, "..", "--note", "it arrived"], 1,
             'the relay answered 404: page %s has no recipient with the pager id ".."' % page_id),
        ]
        for args, code, words in cases:
            with self.subTest(args=args):
                result = self.cli(*args)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(words, result.stdout + result.stderr)
                as_json = json.loads(self.cli(*args, "--json").stdout)
                self.assertEqual(as_json.get("exitCode", 0), code)

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


READ_TOKEN = "r3ad-only-token"


class OperatorActions(unittest.TestCase):
    """An operator finds the pages that need a human and resends or dismisses them."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="operator-actions-test-")
        cls.gateway = ScriptedGateway()
        cls.relay = Relay(cls.dir, [("scripted", cls.gateway.port, 2)],
                          tokens="viewer read %s\n" % READ_TOKEN).start()
        cls.url = "http://127.0.0.1:%d" % cls.relay.port
        cls.token_file = os.path.join(cls.dir, "token")
        cls.read_token_file = os.path.join(cls.dir, "read-token")
        for path, token in ((cls.token_file, TOKEN), (cls.read_token_file, READ_TOKEN)):
            with open(path, "w") as f:
                f.write(token + "\n")
            os.chmod(path, 0o600)

    @classmethod
    def tearDownClass(cls):
        cls.relay.stop()
        cls.gateway.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def cli(self, *args, token_file=None):
        result = subprocess.run(
            [relay_test.RELAY, *args, "--url", self.url, "--token-file",
             token_file or self.token_file], capture_output=True, text=True, timeout=30,
            env={k: v for k, v in os.environ.items() if not k.startswith("SNPP_RELAY_")})
        for stream in (result.stdout, result.stderr):
            self.assertNotIn(TOKEN, stream)
            self.assertNotIn(READ_TOKEN, stream)
        return result

    def api(self, method, path, body=None, token=TOKEN):
        status, text = self.relay.request(method, path, body, token=token)
        return status, json.loads(text)

    def test_an_uncertain_page_is_found_then_resent_or_dismissed(self):
        relay, gateway = self.relay, self.gateway
        gateway.silent = True
        resent = relay.post_page({"pagers": ["silent-1"], "message": "db1 down"})
        dismissed = relay.post_page({"pagers": ["silent-2", "5551234"], "message": "db2 down"})
        delivered = relay.post_page({"pagers": ["5551235", ".."], "message": "fine"})
        wait_for("two uncertain pages", lambda: relay.states(resent) == ["uncertain"] and
                 relay.states(dismissed) == ["uncertain", "delivered"], timeout=30)
        wait_for("delivery", lambda: relay.states(delivered) == ["delivered", "delivered"])

        # Found with the command an operator is told to run: one row per recipient.
        listed = self.cli("pages", "list", "--state", "uncertain")
        self.assertEqual(listed.returncode, 0, listed.stderr)
        rows = [line.split()[:4] for line in listed.stdout.splitlines()[1:]]
        self.assertEqual([r[0] for r in rows], [dismissed, dismissed, resent])
        self.assertIn([resent, rows[2][1], "silent-1", "uncertain"], rows)
        self.assertNotIn(delivered, listed.stdout)

        # Resent once the gateway answers again: delivered, the first attempt still counted.
        gateway.silent = False
        done = self.cli("pages", "resend", resent, "silent-1")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, "pager silent-1 of page %s: queued\n" % resent)
        wait_for("the resent page delivered", lambda: relay.states(resent) == ["delivered"])
        recipient = relay.page(resent)["recipients"][0]
        self.assertEqual((recipient["attempts"], recipient["actedBy"]), (2, "line 2"))

        # Dismissed with a note; pages show prints it; nothing is sent again.
        closed = self.cli("pages", "dismiss", dismissed, "silent-2", "--note", "called: it arrived")
        self.assertEqual(closed.returncode, 0, closed.stderr)
        recipient = relay.page(dismissed)["recipients"][0]
        self.assertEqual((recipient["state"], recipient["note"], recipient["actedBy"]),
                         ("dismissed", "called: it arrived", "line 2"))
        shown = self.cli("pages", "show", dismissed)
        self.assertIn("note: called: it arrived", shown.stdout)
        self.assertEqual(shown.returncode, 4, "dismissed is not delivered")
        self.assertEqual(self.cli("pages", "list", "--state", "uncertain").stdout, "no page\n")
        self.assertEqual(self.cli("pages", "list", "--state", "dismissed").stdout.count("silent-2"),
                         1)

        # A delivered recipient is not resent: 409 with its state; ".." (sent as %2E%2E) is found.
        for pager in ("5551235", ".."):
            refused = self.cli("pages", "resend", delivered, pager)
            self.assertEqual(refused.returncode, 1)
            self.assertIn("the relay answered 409: %s of page %s is delivered; only a recipient "
                          "that is failed, uncertain or expired can be resent" % (pager, delivered),
                          refused.stderr)
        status, body = self.api("POST", "/v1/pages/%s/recipients/silent-2/dismiss" % dismissed, {})
        self.assertEqual((status, body["state"]), (409, "dismissed"))

        log = relay.log_text()
        self.assertIn('resend: pager "silent-1" of page %s queued again by line 2' % resent, log)
        self.assertIn('dismiss: pager "silent-2" of page %s dismissed by line 2; note: called: '
                      'it arrived' % dismissed, log)
        self.assertNotIn(TOKEN, log)
        self.assertNotIn(READ_TOKEN, log)

    def test_a_read_token_looks_but_cannot_act(self):
        page = self.relay.post_page({"pagers": ["drop-r"], "message": "x"})
        wait_for("uncertain", lambda: self.relay.states(page) == ["uncertain"])
        self.assertEqual(self.api("GET", "/v1/pages?state=uncertain", token=READ_TOKEN)[0], 200)
        self.assertEqual(self.api("GET", "/v1/pages/" + page, token=READ_TOKEN)[0], 200)
        for method, path in (("POST", "/v1/pages/%s/recipients/drop-r/resend" % page),
                             ("POST", "/v1/pages/%s/recipients/drop-r/dismiss" % page),
                             ("POST", "/v1/pages")):
            status, body = self.api(method, path, {}, token=READ_TOKEN)
            self.assertEqual(status, 403, path)
            self.assertIn('the token "viewer" has the role read', body["error"])
        result = self.cli("pages", "dismiss", page, "drop-r", token_file=self.read_token_file)
        self.assertEqual(result.returncode, 1)
        self.assertIn("the relay answered 403", result.stderr)
        self.assertEqual(self.relay.states(page), ["uncertain"])
        self.assertEqual(self.cli("pages", "dismiss", page, "drop-r").returncode, 0)

    def test_bad_parameters_are_400_with_what_is_wrong(self):
        page = self.relay.post_page({"pagers": ["drop-b"], "message": "x"})
        wait_for("uncertain", lambda: self.relay.states(page) == ["uncertain"])
        lists = [  # query, words
            ("limit=0", "limit \"0\" is not a number from 1 to 1000"),
            ("limit=-1", "limit \"-1\""),
            ("limit=1001", "limit \"1001\""),
            ("limit=99999999999999999999999", "from 1 to 1000"),
            ("limit=nan", "from 1 to 1000"),
            ("limit=", "has no value"),
            ("limit=5&limit=6", "given twice"),
            ("since=yesterday", "is not a UTC time"),
            ("since=2026-02-30", "is not a UTC time"),
            ("since=2026-12-09T25:00:00Z", "is not a UTC time"),
            ("state=lost", "is not a state; use one of queued"),
            ("cursor=..%2F..", "is not one this relay gave"),
            ("receiver=a%0Ab", "no control character"),
            ("receiver=%C0%AF", "of UTF-8"),
            ("token=" + TOKEN, "unknown parameter"),
            ("state=%ZZ", "two hex digits"),
        ]
        for query, words in lists:
            with self.subTest(query=query):
                status, body = self.api("GET", "/v1/pages?" + query)
                self.assertEqual(status, 400, body)
                self.assertIn(words, body["error"])
                self.assertNotIn(TOKEN, body["error"])
        act = "/v1/pages/%s/recipients/%%s/dismiss" % page
        actions = [  # path, body, status, words
            (act % "..", {}, 400, "must come percent-encoded"),
            (act % "drop-b", {"note": "x" * 1001}, 400, "longer than 1000 bytes"),
            (act % "drop-b", {"note": "a\nb"}, 400, "one line without control characters"),
            (act % "drop-b", {"note": 5}, 400, "must be a string"),
            (act % "drop-b", {"reason": "x"}, 400, "unknown field"),
            (act % "drop-b", [], 400, "must be a JSON object"),
            (act % "drop%1b", {}, 400, "control character"),
            (act % "nobody", {}, 404, "no recipient with the pager id"),
            ("/v1/pages/00ff/recipients/drop-b/dismiss", {}, 404, 'no page has the id "00ff"'),
        ]
        for path, body, status, words in actions:
            with self.subTest(path=path, body=body):
                got, answer = self.api("POST", path, body)
                self.assertEqual(got, status, answer)
                self.assertIn(words, answer["error"])
        self.assertEqual(self.relay.states(page), ["uncertain"], "nothing was changed")
        self.assertEqual(self.cli("pages", "dismiss", page, "drop-b").returncode, 0)

        # A cursor goes on where the list stopped, without a page twice.
        first = self.api("GET", "/v1/pages?limit=1")[1]
        second = self.api("GET", "/v1/pages?limit=1&cursor=" + first["next"])[1]
        self.assertNotEqual(first["pages"][0]["id"], second["pages"][0]["id"])
        older = self.cli("pages", "list", "--limit", "1").stdout
        self.assertIn("older pages: add --cursor " + first["next"], older)


if __name__ == "__main__":
    relay_test.RELAY, relay_test.SANDBOX = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
