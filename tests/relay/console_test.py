#!/usr/bin/env python3
"""The relay's web console in a real browser: headless Chromium against a real snpp-relay.

usage: console_test.py SNPP_RELAY SNPP_SANDBOX ARTEFACT_DIR
Exits 77 (skipped) when Chromium is not installed. ARTEFACT_DIR receives console.png.
"""
import http.client
import json
import os
import shutil
import sys
import tempfile
import unittest

import browser
import relay_test
from relay_test import TOKEN, Relay, wait_for
from scripted_gateway import ScriptedGateway

ARTEFACTS = None
HOSTILE = "<img src=x onerror=window.__pwned=1>disk full on <b>db1</b>"


class Console(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="console-test-")
        self.gateway = ScriptedGateway()
        self.addCleanup(self.gateway.close)
        self.relay = Relay(self.dir, [("scripted", self.gateway.port, 2)]).start()
        self.addCleanup(self.relay.stop)
        self.browser = browser.Browser(self.dir)
        self.addCleanup(self.browser.close)
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.base = "http://127.0.0.1:%d" % self.relay.port

    def api_requests(self, since=0):
        return [(url, headers) for url, headers in self.browser.requests()[since:]
                if "/v1/" in url]

    def test_the_console_asks_for_a_token_and_then_shows_a_page(self):
        relay, page = self.relay, self.browser
        posted = relay.post_page({"pagers": ["5551234", "refuse-1"], "message": HOSTILE,
                                  "subject": "<script>window.__pwned=2</script>"})
        relay.post_page({"pagers": ["busy-1"], "message": "waits in the queue"})
        lost = relay.post_page({"pagers": ["drop-1"], "message": "did it arrive?"})
        wait_for("delivered and refused", lambda: relay.states(posted) == ["delivered", "refused"])
        wait_for("uncertain", lambda: relay.states(lost) == ["uncertain"])

        # A token in the address bar is neither used nor kept; nothing is asked of the API.
        page.navigate(self.base + "/?token=%s#token=%s" % (TOKEN, TOKEN))
        page.wait_for("document.body.dataset.view === 'sign-in'")
        self.assertEqual(page.js("location.href"), self.base + "/")
        self.assertIsNone(page.js("sessionStorage.getItem('snpp-relay-token')"))
        self.assertEqual(self.api_requests(), [])

        # Without a token nothing works, a token in the query string included.
        for path in ("/v1/pages/" + posted, "/v1/pages/%s?token=%s" % (posted, TOKEN)):
            self.assertEqual(page.js("fetch(%s).then(r => r.status)" % json.dumps(path)), 401)

        # A wrong token is refused with the relay's words, and asked for again.
        signing_in = len(page.requests())
        page.type_into("#token", "not-" + TOKEN)
        page.wait_for("document.getElementById('sign-in-problem').textContent.includes("
                      "'not one of the relay')")
        self.assertEqual(page.js("document.body.dataset.view"), "sign-in")

        page.type_into("#token", TOKEN)
        page.wait_for("document.body.dataset.view === 'console' && document.body.dataset.refreshed")
        self.assertEqual(page.js("document.getElementById('queue-depth').textContent"), "1")
        # The recent pages, newest first, and the one waiting for a human.
        page.wait_for("document.querySelector('#recent-list [data-page=\"%s\"]')" % posted)
        waiting = '#uncertain-table tr[data-page="%s"][data-pager="drop-1"]' % lost
        page.wait_for("document.querySelector(%s)" % json.dumps(waiting))

        page.type_into("#lookup-id", posted)
        page.wait_for("document.querySelector('#lookup-result [data-page=\"%s\"]')" % posted)
        shown = page.js("""[...document.querySelectorAll('#lookup-result tbody tr')].map(
            row => [...row.cells].map(cell => cell.textContent))""")
        self.assertEqual([(row[0], row[1], row[2], row[3]) for row in shown],
                         [("5551234", "delivered", "1", "scripted"),
                          ("refuse-1", "refused", "1", "scripted")])
        # The relay's texts are shown as they are, as text: no element, no script from them.
        body = page.js("document.querySelector('#lookup-result .body').textContent")
        self.assertEqual(body, "[<script>window.__pwned=2</script>] " + HOSTILE)
        self.assertIn("<b>no such pager</b> \\x1b[31m<img", shown[1][5])
        self.assertEqual(page.js("document.querySelectorAll('main img, main b, main script').length"), 0)
        self.assertIsNone(page.js("window.__pwned"))
        page.screenshot(os.path.join(ARTEFACTS, "console.png"))

        # Dismiss, with a note: the outbox has it so, and the row is gone.
        page.type_into(waiting + " input", "it arrived")
        page.click(waiting + " button.dismiss")
        page.wait_for("!document.querySelector(%s)" % json.dumps(waiting))
        recipient = relay.page(lost)["recipients"][0]
        self.assertEqual((recipient["state"], recipient["note"], recipient["actedBy"]),
                         ("dismissed", "it arrived", "line 2"))
        self.assertIn("Dismissed: drop-1",
                      page.js("document.getElementById('uncertain-action').textContent"))

        # Each API request carried the token in its header and nowhere else.
        requests = self.api_requests(since=signing_in)
        self.assertGreaterEqual(len(requests), 6)
        self.assertIn(self.base + "/v1/pages/%s/recipients/drop-1/dismiss" % lost,
                      [url for url, _ in requests])
        for url, headers in requests:
            self.assertNotIn(TOKEN, url)
            self.assertIn(headers.get("Authorization"),
                          ("Bearer " + TOKEN, "Bearer not-" + TOKEN), url)

        # The token lasts for the tab: a reload goes straight to the console; forgetting it asks.
        page.reload()
        page.wait_for("document.body.dataset.view === 'console'")
        page.click("#sign-out")
        page.wait_for("document.body.dataset.view === 'sign-in'")
        self.assertIsNone(page.js("sessionStorage.getItem('snpp-relay-token')"))
        self.assertEqual(page.problems(), [])
        self.assertNotIn(TOKEN, relay.log_text())

    def test_console_files_carry_a_strict_policy_and_api_answers_are_never_cached(self):
        def get(path):
            conn = http.client.HTTPConnection("127.0.0.1", self.relay.port, timeout=20)
            try:
                conn.request("GET", path, headers={"Authorization": "Bearer " + TOKEN})
                response = conn.getresponse()
                return response.status, response.getheaders(), response.read()
            finally:
                conn.close()

        for path, kind in (("/", "text/html"), ("/console/console.js", "text/javascript"),
                           ("/console/console.css", "text/css")):
            with self.subTest(path=path):
                status, headers, body = get(path)
                headers = dict(headers)
                self.assertEqual(status, 200)
                self.assertTrue(headers["Content-Type"].startswith(kind))
                self.assertEqual(headers["X-Content-Type-Options"], "nosniff")
                policy = headers["Content-Security-Policy"]
                for rule in ("default-src 'none'", "script-src 'self'",
                             "require-trusted-types-for 'script'", "frame-ancestors 'none'"):
                    self.assertIn(rule, policy)
                self.assertNotIn("unsafe", policy)
        self.assertNotIn(b"<script>", get("/")[2])  # no inline script for the policy to allow
        for path in ("/console/index.html", "/console/../relay.toml", "/console/nothing.js"):
            self.assertEqual(get(path)[0], 404, path)
        status, headers, _ = get("/v1/pages/00ff")
        self.assertEqual((status, dict(headers)["Cache-Control"]), (404, "no-store"))
        self.assertEqual(dict(headers)["X-Content-Type-Options"], "nosniff")


if __name__ == "__main__":
    relay_test.RELAY, relay_test.SANDBOX, ARTEFACTS = sys.argv[1], sys.argv[2], sys.argv[3]
    if not os.access(browser.CHROMIUM, os.X_OK):
        print("console test skipped: Chromium is not installed (Debian chromium; "
              "scripts/deps.sh installs it)", file=sys.stderr)
        sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
