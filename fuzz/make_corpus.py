#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/ from the readable dialogues below.

usage: make_corpus.py [OUT_DIR]   (default: the corpus/ folder beside this file)

Each seed is a real dialogue (or a real way for one to go wrong) in the input layout that its
target's source file describes at its top. Run it again after changing a layout; the files are
committed so that a fuzz run needs no Python.
"""
import os
import sys

OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")

# --- fuzz_receive ---------------------------------------------------------------------------------
# Header: level index, options bits, message|data<<4, starting State index, host byte, read size.
LEVEL = {1: 0, 2: 1, 3: 2}
ALL_OPTIONS = 0xFF          # LOGI + password, COVE, LEVE, HOLD, ALER, CALL, SUBJ
MSG_TEXT, MSG_EMPTY = 2, 1  # kMessages: "disk full on db1", "" (DATA at level 2)
BODY = 1 << 4               # kBodies[1]: a body with a "." line, a dotted line and an empty one
NO_START = 0xFF
STATE_INDEX = {s: i for i, s in enumerate(
    [-1, 0, 11, 12, 13, 14, 21, 22, 23, 24, 25, 26, 27, 28, 1, 10, 15, 20, 29, -2, 32767, -32768])}
(NOTHING, CLOSE_ON_ERROR, RESTART_ON_ERROR, CLOSE_ON_COMPLETE, NEXT_PAGE_ON_COMPLETE,
 DESTROY_ON_EVENT, REWRITE_ERROR, SEND_WITHOUT_CLOSING) = range(8)
USE_CONNECT = 0x08
TIMEOUT_1 = 2 << 4          # kTimeouts[2] = 1 second

OP = b"\xff"
DELIVER, TICK, PAST_TIMEOUT, CLOSE, SEND, PEER_CLOSE, BREAK, FAIL_WRITE = (
    OP + b"d", OP + b"t", OP + b"T", OP + b"c", OP + b"s", OP + b"p", OP + b"e", OP + b"w")


def repeat(times16):
    return OP + b"r" + bytes([times16])


def put(prop, value):
    return OP + b"P" + bytes([prop, len(value)]) + value


def receive(level, replies, options=0, text=MSG_TEXT, start=NO_START, host=0, read=0, glue=DELIVER):
    header = bytes([LEVEL[level], options, text, start, host, read])
    return header + glue.join(r.encode("latin-1") if isinstance(r, str) else r for r in replies)


L1_OK = ["220 SNPP Gateway Ready\r\n", "250 Pager ID Accepted\r\n", "250 Message OK\r\n",
         "250 Message Sent Successfully\r\n", "221 OK, Goodbye\r\n"]
L2_OK = ["220 SNPP Gateway Ready\r\n", "250 Login OK\r\n", "250 Coverage OK\r\n",
         "250 Level OK\r\n", "250 Hold OK\r\n", "250 Alert OK\r\n", "250 Pager ID Accepted\r\n",
         "250 Caller OK\r\n", "250 Subject OK\r\n",
         "354 Begin Input; End with <CRLF>'.'<CRLF>\r\n", "250 Message OK\r\n",
         "250 Message Sent Successfully\r\n", "221 OK, Goodbye\r\n"]
L2_PLAIN = ["220 SNPP Gateway Ready\r\n", "250 Pager ID Accepted\r\n", "354 Begin Input\r\n",
            "250 DATA Accepted\r\n", "250 Message Sent\r\n", "221 Goodbye\r\n"]

RECEIVE = {
    "level1_delivered": receive(1, L1_OK),
    "level1_all_in_one_read": receive(1, L1_OK, glue=b""),
    "level1_one_byte_reads": receive(1, L1_OK, read=1, glue=b""),
    "level1_three_byte_reads": receive(1, L1_OK, read=3, glue=b""),
    "level1_bare_lf": receive(1, [r.replace("\r\n", "\n") for r in L1_OK]),
    "level2_every_option_and_data": receive(2, L2_OK, options=ALL_OPTIONS, text=MSG_EMPTY | BODY),
    "level2_data_plain": receive(2, L2_PLAIN, text=MSG_EMPTY | BODY),
    "level3_mess": receive(3, L1_OK),
    "level2_options_not_implemented": receive(
        2, ["220 hi\r\n"] + ["500 Command Not Implemented\r\n"] * 5 +
        ["250 Pager ID Accepted\r\n"] + ["500 Command Not Implemented\r\n"] * 2 +
        ["250 Message OK\r\n", "250 Sent\r\n", "221 bye\r\n"], options=ALL_OPTIONS),
    "level2_login_refused_421": receive(2, ["220 hi\r\n", "421 Illegal Access Attempt\r\n"],
                                        options=0x03, host=CLOSE_ON_ERROR),
    "greeting_421": receive(1, ["421 SERVER DOWN, Goodbye\r\n", PAST_TIMEOUT], host=TIMEOUT_1),
    "no_greeting_times_out": receive(1, [PAST_TIMEOUT], host=TIMEOUT_1),
    "closed_before_greeting": receive(1, [PEER_CLOSE]),
    "reset_after_page": receive(1, ["220 hi\r\n", BREAK]),
    "closed_waiting_for_send": receive(1, L1_OK[:3] + [PEER_CLOSE]),
    "page_refused_550": receive(1, ["220 hi\r\n", "550 Invalid Pager ID\r\n"]),
    "send_refused_554": receive(1, L1_OK[:3] + ["554 Gateway down\r\n"]),
    "mess_503": receive(1, L1_OK[:2] + ["503 Message already entered\r\n"]),
    "send_860_two_way": receive(1, L1_OK[:3] + ["860 1234 5678 Delivered, awaiting read\r\n",
                                                "221 bye\r\n"]),
    "send_960_queued": receive(1, L1_OK[:3] + ["960 1234 5678 Queued\r\n", "221 bye\r\n"]),
    "help_lines_then_250": receive(1, ["220 hi\r\n", "214 PAGE <id>\r\n214 MESS <text>\r\n",
                                       "250 End of Help Information\r\n"]),
    "two_replies_in_one_read": receive(1, ["220 hi\r\n250 page\r\n", "250 mess\r\n250 sent\r\n"]),
    "continued_replies": receive(1, ["220-Welcome\r\n220 Ready\r\n",
                                     "250-Pager ID Accepted\r\n250 Pager 5 is on duty\r\n",
                                     "250 OK\r\n", "250-Message queued\r\n250 id 7\r\n",
                                     "221 bye\r\n"]),
    "continued_reply_split_over_reads": receive(1, ["220 hi\r\n", "250-Pager ID Accepted\r\n",
                                                    "250 on duty\r\n"], read=3),
    "continued_reply_code_changes": receive(1, ["220 hi\r\n", "250-accepted\r\n554 refused\r\n"]),
    "overlong_greeting": receive(1, ["220 " + "x" * 5000, repeat(8), "\r\n250 late\r\n"]),
    "overlong_no_line_end": receive(1, ["220 hi\r\n", "y" * 600, repeat(16)]),
    "utf8_code": receive(1, ["2\xc3\xa90 not a code\r\n", "220 hi\r\n"]),
    "start_in_send": receive(1, ["250 sent\r\n", "221 bye\r\n"], start=STATE_INDEX[13]),
    "start_in_data": receive(2, ["354 go\r\n", "250 body ok\r\n", "250 sent\r\n"],
                             text=MSG_EMPTY | BODY, start=STATE_INDEX[21]),
    "start_in_odd_state": receive(1, ["250 ok\r\n"], start=STATE_INDEX[29]),
    "start_in_any_integer": bytes([0, 0, MSG_TEXT, 0xF0, 0x12, 0x34, 0, 0]) + b"220 hi\r\n",
    "next_page_from_on_complete": receive(1, L1_OK, host=NEXT_PAGE_ON_COMPLETE),
    "close_from_on_complete": receive(1, L1_OK, host=CLOSE_ON_COMPLETE),
    "destroy_from_on_error": receive(1, ["220 hi\r\n", "550 no\r\n", "250 late\r\n"],
                                     host=DESTROY_ON_EVENT),
    "restart_on_error": receive(1, ["421 busy\r\n", SEND, "220 hi\r\n"], host=RESTART_ON_ERROR),
    "send_while_open": receive(1, ["220 hi\r\n", "550 no\r\n"], host=SEND_WITHOUT_CLOSING),
    "rewrite_error_text": receive(1, ["220 hi\r\n", "550 no\r\n"], host=REWRITE_ERROR),
    "connect_instead_of_send": receive(1, L1_OK, host=USE_CONNECT),
    "write_fails": receive(1, ["220 hi\r\n", FAIL_WRITE, "250 page\r\n"]),
    "recipient_with_line_break": receive(1, [put(1, b"555\r\nQUIT"), "220 hi\r\n"]),
    "data_body_set_mid_dialogue": receive(2, ["220 hi\r\n", put(7, b".\n..\r\n.x\r"),
                                              "250 page\r\n", "354 go\r\n"], text=MSG_EMPTY),
    "second_session": receive(1, L1_OK + [SEND] + L1_OK),
    "ticks_mid_dialogue": receive(1, ["220 hi\r\n", TICK, TICK, "250 page\r\n", PAST_TIMEOUT]),
}

# --- fuzz_line_framer -----------------------------------------------------------------------------
# [0] cap (0..15: the default 4096; else byte-15), [1] n, then n read sizes, then the stream.
STREAM = "".join(L2_OK).encode()


def framer(cap_byte, sizes, stream):
    return bytes([cap_byte, len(sizes)]) + bytes(sizes) + stream


FRAMER = {
    "dialogue_one_read": framer(0, [], STREAM),
    "dialogue_byte_by_byte": framer(0, [1], STREAM),
    "dialogue_odd_reads": framer(0, [3, 0, 7, 1, 250], STREAM),
    "bare_lf_and_lone_cr": framer(0, [2], b"220 a\n250 b\r250 c\r\n\n\n"),
    "cap_8_overlong": framer(15 + 8, [5], b"220 a very long greeting\r\n250 ok\r\n" + b"z" * 30),
    "cap_1": framer(16, [1, 2], b"ab\ncd\r\n\n"),
    "cap_exactly_at_lf": framer(15 + 6, [6, 1], b"12345\n123456\n1234567\n"),
    "no_line_end": framer(0, [200], b"x" * 5000),
}

# --- fuzz_variant and fuzz_dispatch: values as fuzz/variant_input.hpp reads them ----------------
import struct


def v_int(n): return bytes([1]) + struct.pack(">h", n)
def v_long(n): return bytes([2]) + struct.pack(">i", n)
def v_single(x): return bytes([3]) + struct.pack(">f", x)
def v_single_bits(bits): return bytes([3]) + struct.pack(">I", bits)
def v_bool(n): return bytes([4]) + struct.pack(">h", n)
def v_str(text): t = text.encode(); return bytes([5, len(t)]) + t
def v_font(name): return bytes([6, len(name)]) + name.encode()
V_NOTHING = bytes([0x86])
V_EMPTY = bytes([0])
def v_known(i): return bytes([7, i])


VARIANT = {
    "integers": v_int(0) + v_int(-32768) + v_int(32767) + v_int(42),
    "longs": v_long(0) + v_long(-2147483648) + v_long(2147483647) + v_long(32768) + v_long(-32769),
    "singles": v_single(2.5) + v_single(3.5) + v_single(-2.5) + v_single(0.1) + v_single(3.0e38)
               + v_single(32767.5) + v_single(1e-45),
    "single_specials": v_single_bits(0x7FC00000) + v_single_bits(0x7F800000)
                       + v_single_bits(0xFF800000) + v_single_bits(0x80000000),
    "booleans": v_bool(-1) + v_bool(0) + v_bool(1) + v_bool(5),
    "numeric_texts": b"".join(v_known(i) for i in range(42)),
    "texts": v_str("hello") + v_str("") + v_str(" 12 ") + v_str("x" * 80) + v_str("1e3")
             + v_str("-0.5"),
    "objects": v_font("Arial") + V_NOTHING + V_EMPTY,
    # The largest Single as text is "3.4028235E+38"; that text must convert back to it.
    "largest_single_through_text": v_single_bits(0x7F7FFFFF) + v_single_bits(0xFF7FFFFF),
}

MEMBERS = ["BackColor", "ForeColor", "Enabled", "Font", "BackStyle", "BorderStyle", "Refresh",
           "SenderID", "Recipient", "Send", "Idle", "getLastError", "getLastReply", "State",
           "Server", "ServerPort", "ServerTimeout", "Connect", "getLastErrorDescription", "Data",
           "CloseConnect", "coverageArea", "ServiceLevel", "SnppLevel", "LoginName", "Password",
           "HoldUntil", "Subject", "Message", "AlertOverride"]
CALL, GET, PUT, PUTREF = 0, 1, 2, 3


def invoke(member, kind, *args):
    return bytes([0, MEMBERS.index(member), kind, len(args)]) + b"".join(args)


def lookup(member, flips=0):
    return bytes([1, MEMBERS.index(member)]) + struct.pack(">I", flips)


def says(text):
    t = text.encode()
    return bytes([2, len(t)]) + t


TICK_OP = bytes([3])
EVERY_GET = b"".join(invoke(m, GET) for m in MEMBERS if m not in (
    "Refresh", "Send", "getLastError", "getLastReply", "Connect", "getLastErrorDescription",
    "CloseConnect"))
PAGE_SETUP = (invoke("Server", PUT, v_str("127.0.0.1")) + invoke("ServerPort", PUT, v_str("444"))
              + invoke("SnppLevel", PUT, v_int(1)) + invoke("Recipient", PUT, v_str("5551234"))
              + invoke("Message", PUT, v_str("disk full")))

DISPATCH = {
    "every_get": bytes([0, 0]) + EVERY_GET,
    "page_through_dispatch": bytes([0, 0]) + PAGE_SETUP + invoke("Send", CALL) + says("220 hi\r\n")
                             + says("250 page\r\n") + says("250 mess\r\n") + says("250 sent\r\n")
                             + invoke("getLastReply", CALL) + says("221 bye\r\n"),
    "refused_then_read_back": bytes([0, 0]) + PAGE_SETUP + invoke("Send", CALL)
                              + says("220 hi\r\n") + says("550 no\r\n")
                              + invoke("getLastErrorDescription", CALL)
                              + invoke("getLastError", CALL) + invoke("CloseConnect", CALL),
    "puts_that_convert": bytes([0, 0]) + invoke("State", PUT, v_str(" 13 "))
                         + invoke("ServerTimeout", PUT, v_single(2.5))
                         + invoke("AlertOverride", PUT, v_str("True"))
                         + invoke("BackColor", PUT, v_bool(-1)) + invoke("Enabled", PUT, v_int(7))
                         + invoke("Font", PUTREF, v_font("Arial")) + invoke("Font", GET),
    "puts_that_fail": bytes([0, 0]) + invoke("State", PUT, v_str("abc"))
                      + invoke("State", PUT, v_long(40000)) + invoke("Font", PUT, v_font("x"))
                      + invoke("Recipient", PUT, V_NOTHING) + invoke("Send", GET)
                      + invoke("Message", CALL) + invoke("Message", PUT)
                      + invoke("Message", PUT, v_str("a"), v_str("b")),
    "site_refuses": bytes([2, 0]) + invoke("Subject", PUT, v_str("s")) + invoke("Subject", GET)
                    + invoke("Subject", PUT, v_str("t")) + invoke("Subject", GET),
    "names_any_case": bytes([0, 0]) + lookup("Send", 0x5) + lookup("getLastErrorDescription",
                                                                    0xFFFFFFFF)
                      + lookup("coverageArea", 0x1) + bytes([1, 0x80 + 6]) + b"sEnD\x00x",
    "near_miss_dispids": bytes([0, 0]) + bytes([0, 30, 1, 0, 0, 31, 1, 0, 0, 32, 1, 0,
                                                0, 33, 1, 0, 0, 34, 1, 0]),
    "sink_closes_on_error": bytes([0, 2]) + PAGE_SETUP + invoke("Send", CALL) + says("421 no\r\n")
                            + TICK_OP,
    "sink_destroys_control": bytes([0, 4]) + PAGE_SETUP + invoke("Send", CALL)
                             + says("220 hi\r\n550 no\r\n") + EVERY_GET,
}

SEEDS = {"fuzz_receive": RECEIVE, "fuzz_line_framer": FRAMER, "fuzz_variant": VARIANT,
         "fuzz_dispatch": DISPATCH}


def main():
    for target, seeds in SEEDS.items():
        folder = os.path.join(OUT, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print("%s: %d seeds in %s" % (target, len(seeds), folder))


if __name__ == "__main__":
    main()
