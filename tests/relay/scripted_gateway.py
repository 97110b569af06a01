"""A scripted SNPP gateway on loopback for the relay's tests: what it answers depends on the pager.

  pager starting with   answer
  "busy"                421 to PAGE (the relay keeps it queued and tries again)
  "refuse"              550 to SEND, with markup and an ESC in the text
  "drop"                the connection closed right after SEND (the relay: uncertain)
  "garbled"             250 to SEND, with bytes that are not UTF-8 and an ESC (GARBLED)
  "silent"              while `silent` is set: no answer to SEND, the connection closed a second
                        later (the relay: uncertain); once it is cleared, 250
  anything else         250 to SEND (delivered)
With one_page_a_session, every PAGE after the first of a session is answered 552 (a gateway
that takes one recipient a session). `sessions` counts the connections it took.
"""
import socket
import socketserver
import threading
import time

REFUSAL = "550 <b>no such pager</b> \x1b[31m<img src=x onerror=window.__pwned=1>"
GARBLED = b"250 sent \xc3\x28 \xff \x1b[2J"


class _Session(socketserver.StreamRequestHandler):
    timeout = 30

    def reply(self, line):
        self.wfile.write((line + "\r\n").encode("utf-8"))

    def handle(self):
        self.server.sessions += 1
        self.reply("220 scripted gateway ready")
        pager = ""
        pages = 0
        in_data = False
        for raw in self.rfile:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            if in_data:
                if line == ".":
                    in_data = False
                    self.reply("250 Message OK")
                continue
            verb, _, rest = line.partition(" ")
            verb = verb.upper()
            if verb == "PAGE" and pages and self.server.one_page_a_session:
                self.reply("552 Max Recipients Exceeded")
            elif verb == "PAGE":
                pages += 1
                pager = rest.strip()
                self.reply("421 busy, try later" if pager.startswith("busy") else "250 Pager ID Accepted")
            elif verb == "DATA":
                in_data = True
                self.reply("354 Begin Input; End with <CRLF>'.'<CRLF>")
            elif verb == "SEND":
                if pager.startswith("drop"):
                    self.connection.shutdown(socket.SHUT_RDWR)
                    return
                if pager.startswith("silent") and self.server.silent:
                    time.sleep(1)
                    self.connection.shutdown(socket.SHUT_RDWR)
                    return
                if pager.startswith("garbled"):
                    self.wfile.write(GARBLED + b"\r\n")
                    continue
                self.reply(REFUSAL if pager.startswith("refuse") else "250 Message Sent Successfully")
            elif verb == "QUIT":
                self.reply("221 OK, Goodbye")
                return
            else:
                self.reply("250 OK")


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    silent = True
    one_page_a_session = False
    sessions = 0


class ScriptedGateway:
    def __init__(self, one_page_a_session=False):
        self.server = _Server(("127.0.0.1", 0), _Session)
        self.server.one_page_a_session = one_page_a_session
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    @property
    def silent(self):
        return self.server.silent

    @silent.setter
    def silent(self, value):
        self.server.silent = value

    @property
    def sessions(self):
        return self.server.sessions

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=10)
