"""WebSocket conformance of quillon-server, section by section of RFC 6455 and RFC 7692, with a
raw-socket client: framing, fragmentation, control frames, UTF-8 (split code points, failing
fast), close handling and codes, compression with and without context takeover, and the
negotiation of its parameters. Each case is a row: the frames the client sends, and what the
server must answer (echoes, pongs, and its close code, or none while the connection lives)."""
import base64
import os
import socket
import struct
import zlib

import pytest

from quillon_host import QuillonServer
from ws_raw import read_head, recv_exact

TIMEOUT = 10


@pytest.fixture(scope="module")
def servers():
    flags = ("--echo-binary", "--validate-utf8", "--clean-disconnect")
    with QuillonServer(*flags) as plain, QuillonServer(*flags, "--permessage-deflate") as deflate:
        yield {"plain": plain, "deflate": deflate}


def frame(b0, payload=b"", masked=True, length=None):
    """A client frame of any size; `length` announces another length than the payload's."""
    n = len(payload) if length is None else length
    bit = 0x80 if masked else 0
    if n < 126:
        head = bytes([b0, bit | n])
    elif n < 65536:
        head = bytes([b0, bit | 126]) + struct.pack("!H", n)
    else:
        head = bytes([b0, bit | 127]) + struct.pack("!Q", n)
    if not masked:
        return head + payload
    key = os.urandom(4)
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


def close_frame(code, reason=b""):
    return frame(0x88, struct.pack("!H", code) + reason)


class Deflater:
    """The client's side of permessage-deflate: one context for every message (takeover)."""

    def __init__(self):
        self.z = zlib.compressobj(6, zlib.DEFLATED, -15)

    def __call__(self, data):
        out = self.z.compress(data) + self.z.flush(zlib.Z_SYNC_FLUSH)
        assert out.endswith(b"\x00\x00\xff\xff")
        return out[:-4]


def connect(server, extensions=None, key=None):
    sock = socket.create_connection(("127.0.0.1", server.port), timeout=TIMEOUT)
    if key is None:
        key = base64.b64encode(os.urandom(16)).decode()
    head = (f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\nUpgrade: websocket\r\n"
            f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n")
    if extensions:
        head += f"Sec-WebSocket-Extensions: {extensions}\r\n"
    sock.sendall((head + "\r\n").encode())
    answer = read_head(sock).decode("latin-1")
    assert answer.startswith("HTTP/1.1 101 "), answer
    return sock, answer


def answer(sock, inflater):
    """One server frame: ("text"|"binary"|"ping"|"pong", payload) or ("close", code)."""
    b0, b1 = recv_exact(sock, 2)
    assert b1 & 0x80 == 0, "server frames are not masked"
    assert b0 & 0x80, "the server sends whole messages"
    n = b1 & 0x7F
    if n == 126:
        n = struct.unpack("!H", recv_exact(sock, 2))[0]
    elif n == 127:
        n = struct.unpack("!Q", recv_exact(sock, 8))[0]
    payload = recv_exact(sock, n)
    if b0 & 0x40:
        payload = inflater.decompress(payload + b"\x00\x00\xff\xff")
    kind = {0x1: "text", 0x2: "binary", 0x8: "close", 0x9: "ping", 0xA: "pong"}[b0 & 0x0F]
    if kind == "close":
        return ("close", struct.unpack("!H", payload[:2])[0] if payload else None)
    return (kind, payload)


def answers(sock, inflater):
    """Server frames until its close frame; ("gone", None) if it closed without one, and the
    list as it is if it stays open for TIMEOUT seconds."""
    out = []
    while not out or out[-1][0] != "close":
        try:
            out.append(answer(sock, inflater))
        except (AssertionError, ConnectionResetError):
            out.append(("gone", None))
            break
        except socket.timeout:
            break
    return out


Z = Deflater()  # for rows whose compressed bytes need no context of their own
EURO = "€".encode()
BIG = bytes(range(256)) * 300  # 76800 bytes: a 64-bit length

# (section, case, server, extension offer, frames to send, expected answers). A row whose
# answers do not end in a close is then closed by the client, which must get 1000 back.
CASES = [
    # RFC 6455 5.2 framing
    ("5.2", "text", "plain", None, [frame(0x81, b"Hello")], [("text", b"Hello")]),
    ("5.2", "16-bit length", "plain", None, [frame(0x82, BIG[:300])], [("binary", BIG[:300])]),
    ("5.2", "64-bit length", "plain", None, [frame(0x82, BIG)], [("binary", BIG)]),
    ("5.2", "empty text", "plain", None, [frame(0x81)], [("text", b"")]),
    ("5.2", "unmasked client frame accepted", "plain", None, [frame(0x81, b"u", masked=False)],
     [("text", b"u")]),
    ("5.2", "RSV1 without extension", "plain", None, [frame(0xC1, b"a")], [("close", 1002)]),
    ("5.2", "RSV2", "plain", None, [frame(0xA1, b"a")], [("close", 1002)]),
    ("5.2", "RSV3", "plain", None, [frame(0x91, b"a")], [("close", 1002)]),
    ("5.2", "reserved data opcode 3", "plain", None, [frame(0x83)], [("close", 1002)]),
    ("5.2", "reserved control opcode 11", "plain", None, [frame(0x8B)], [("close", 1002)]),
    ("5.2", "64-bit length with the top bit", "plain", None,
     [bytes([0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1]) + b"\x01\x02\x03\x04"], [("close", 1002)]),
    # 5.4 fragmentation
    ("5.4", "three fragments", "plain", None,
     [frame(0x01, b"He"), frame(0x00, b"ll"), frame(0x80, b"o")], [("text", b"Hello")]),
    ("5.4", "ping between fragments", "plain", None,
     [frame(0x01, b"He"), frame(0x89, b"p"), frame(0x80, b"llo")],
     [("pong", b"p"), ("text", b"Hello")]),
    ("5.4", "continuation without a start", "plain", None, [frame(0x80, b"x")], [("close", 1002)]),
    ("5.4", "text inside a fragmented message", "plain", None,
     [frame(0x01, b"a"), frame(0x81, b"b")], [("close", 1002)]),
    ("5.4", "RSV1 on a continuation without extension", "plain", None,
     [frame(0x01, b"a"), frame(0xC0, b"b")], [("close", 1002)]),
    # 5.5 control frames
    ("5.5", "ping of 125 bytes", "plain", None, [frame(0x89, b"p" * 125)], [("pong", b"p" * 125)]),
    ("5.5", "ping of 126 bytes", "plain", None, [frame(0x89, b"p" * 126)], [("close", 1002)]),
    ("5.5", "fragmented ping", "plain", None, [frame(0x09, b"p")], [("close", 1002)]),
    ("5.5", "unsolicited pong ignored", "plain", None, [frame(0x8A, b"x"), frame(0x81, b"after")],
     [("text", b"after")]),
    # 8.1 UTF-8
    ("8.1", "multi-byte text", "plain", None, [frame(0x81, "κόσμε €".encode())],
     [("text", "κόσμε €".encode())]),
    ("8.1", "code point split across fragments", "plain", None,
     [frame(0x01, EURO[:1]), frame(0x00, EURO[1:2]), frame(0x80, EURO[2:])], [("text", EURO)]),
    ("8.1", "surrogate", "plain", None, [frame(0x81, b"\xed\xa0\x80")], [("close", 1007)]),
    ("8.1", "above U+10FFFF", "plain", None, [frame(0x81, b"\xf4\x90\x80\x80")], [("close", 1007)]),
    ("8.1", "ends inside a code point", "plain", None,
     [frame(0x01, b"a"), frame(0x80, EURO[:2])], [("close", 1007)]),
    # Fail fast: the message is never finished, yet the close comes at once.
    ("8.1", "invalid first fragment, no end", "plain", None, [frame(0x01, b"ok\xc0")],
     [("close", 1007)]),
    ("8.1", "invalid bytes inside a frame not yet whole", "plain", None,
     [frame(0x81, b"ab\xff", length=1000)], [("close", 1007)]),
    # 7.4 close handling and codes
    ("7.4", "close 1000", "plain", None, [close_frame(1000)], [("close", 1000)]),
    ("7.4", "close without a code", "plain", None, [frame(0x88)], [("close", 1000)]),
    ("7.4", "close with one byte", "plain", None, [frame(0x88, b"\x03")], [("close", 1002)]),
    *[("7.4", f"close {code}{' with a reason' if reason else ''}", "plain", None,
       [close_frame(code, reason)], [("close", answer)])
      for code, reason, answer in [
          (999, b"", 1002), (1004, b"x", 1002), (1005, b"", 1002), (1006, b"x", 1002),
          (1015, b"", 1002), (1016, b"x", 1002), (2999, b"", 1002), (5000, b"x", 1002),
          (0, b"x", 1002), (1001, b"bye", 1000), (1011, b"", 1000), (1012, b"x", 1000),
          (1014, b"", 1000), (3000, b"x", 1000), (4999, b"", 1000)]],
    ("7.4", "close reason not UTF-8", "plain", None, [close_frame(1000, b"\xc0\x80")],
     [("close", 1007)]),
    ("7.4", "nothing read after the close", "plain", None,
     [close_frame(1000) + frame(0x81, b"late")], [("close", 1000)]),
    # RFC 7692 compression
    ("7692", "compressed text", "deflate", "permessage-deflate",
     [frame(0xC1, Deflater()(b"Hello, Hello, Hello"))], [("text", b"Hello, Hello, Hello")]),
    ("7692", "compressed fragments with a ping between", "deflate", "permessage-deflate",
     (lambda z: [frame(0x41, z[:3]), frame(0x89, b""), frame(0x80, z[3:])])(
         Deflater()(b"abcdefgh" * 50)),
     [("pong", b""), ("text", b"abcdefgh" * 50)]),
    ("7692", "uncompressed message on a compressed connection", "deflate", "permessage-deflate",
     [frame(0x81, b"plain")], [("text", b"plain")]),
    ("7692", "context takeover across messages", "deflate", "permessage-deflate",
     (lambda d: [frame(0xC1, d(b"takeover " * 20)), frame(0xC1, d(b"takeover " * 20))])(
         Deflater()),
     [("text", b"takeover " * 20), ("text", b"takeover " * 20)]),
    ("7692", "no context takeover asked by the client", "deflate",
     "permessage-deflate; client_no_context_takeover",
     [frame(0xC1, Deflater()(b"fresh " * 20)), frame(0xC1, Deflater()(b"fresh " * 20))],
     [("text", b"fresh " * 20), ("text", b"fresh " * 20)]),
    ("7692", "RSV1 on a continuation", "deflate", "permessage-deflate",
     [frame(0x41, b"\x00"), frame(0xC0, b"\x00")], [("close", 1002)]),
    ("7692", "RSV1 on a control frame", "deflate", "permessage-deflate", [frame(0xC9, b"p")],
     [("close", 1002)]),
    ("7692", "data that does not inflate", "deflate", "permessage-deflate",
     [frame(0xC1, b"\xff\xff\xff\xff")], [("close", 1007)]),
    ("7692", "compressed text that is not UTF-8", "deflate", "permessage-deflate",
     [frame(0xC1, Deflater()(b"ab\xed\xa0\x80"))], [("close", 1007)]),
    ("7692", "RSV1 when the offer was not taken", "plain", "permessage-deflate",
     [frame(0xC1, Z(b"x"))], [("close", 1002)]),
]


@pytest.mark.parametrize("section, case, server, offer, sent, expected",
                         CASES, ids=[f"{c[0]} {c[1]}" for c in CASES])
def test_conformance(servers, section, case, server, offer, sent, expected):
    sock, _ = connect(servers[server], offer)
    with sock:
        inflater = zlib.decompressobj(-15)
        for data in sent:
            sock.sendall(data)
        if expected[-1][0] == "close":
            got = answers(sock, inflater)
        else:
            # The answers expected, then the client closes and the server must agree.
            got = [answer(sock, inflater) for _ in expected]
            sock.sendall(close_frame(1000))
            got += answers(sock, inflater)
            expected = expected + [("close", 1000)]
        assert got == expected, f"{section} {case}"


# RFC 7692 section 7: what the server answers to each offer ("refused": the upgrade fails
# with 400, the server's choice for a window size out of range). Unknown parameters are
# ignored rather than declined, a leniency kept on purpose.
@pytest.mark.parametrize("offer, answer", [
    ("permessage-deflate", "permessage-deflate"),
    ("permessage-deflate; client_max_window_bits", "permessage-deflate; client_max_window_bits=15"),
    ("permessage-deflate; client_max_window_bits=9", "permessage-deflate; client_max_window_bits=9"),
    ("permessage-deflate; client_no_context_takeover",
     "permessage-deflate; client_no_context_takeover"),
    ("permessage-deflate; server_no_context_takeover",
     "permessage-deflate; server_no_context_takeover"),
    ("permessage-deflate; server_max_window_bits=10",
     "permessage-deflate; server_max_window_bits=10"),
    ("permessage-deflate; server_max_window_bits=7", "refused"),
    ("permessage-deflate; client_max_window_bits=16", "refused"),
    ("permessage-deflate; unknown_parameter", "permessage-deflate"),
    ("x-unknown, permessage-deflate", "permessage-deflate"),
    ("x-unknown", None),
])
def test_compression_parameters(servers, offer, answer):
    if answer == "refused":
        with pytest.raises(AssertionError, match="400 Bad Request"):
            connect(servers["deflate"], offer)
        return
    sock, head = connect(servers["deflate"], offer)
    with sock:
        lines = [line for line in head.split("\r\n")
                 if line.lower().startswith("sec-websocket-extensions:")]
        got = lines[0].split(":", 1)[1].replace(" ", "") if lines else None
        assert got == (answer.replace(" ", "") if answer else None)
        # What was agreed carries a message both ways.
        z = zlib.compressobj(6, zlib.DEFLATED, -9 if "bits=9" in offer else -15)
        payload = z.compress(b"agreed " * 10) + z.flush(zlib.Z_SYNC_FLUSH)
        sock.sendall(frame(0xC1, payload[:-4]) if answer else frame(0x81, b"agreed " * 10))
        assert answer_of(sock) == ("text", b"agreed " * 10)


# RFC 6455 4.1 and 4.2.1: the key is a nonce of 16 bytes in Base64; any other value refuses
# the upgrade as a missing key does.
@pytest.mark.parametrize("key, accepted", [
    ("dGhlIHNhbXBsZSBub25jZQ==", True),
    ("", False),
    ("not base64 at all!!!!!==", False),
    ("dGhlIHNhbXBsZSBub25jZQ", False),                         # unpadded
    (base64.b64encode(b"x" * 15).decode(), False),
    (base64.b64encode(b"x" * 17).decode(), False),
    (base64.b64encode(b"x" * 32).decode(), False),
    ("dGhlIHNhbXBsZSBub25jZ-_==", False),                      # URL-safe alphabet
], ids=["16 bytes", "empty", "not base64", "unpadded", "15 bytes", "17 bytes", "32 bytes",
        "url-safe"])
def test_the_key_is_a_sixteen_byte_nonce(servers, key, accepted):
    if not accepted:
        with pytest.raises(AssertionError, match="^HTTP/1.1 400 Bad Request"):
            connect(servers["plain"], key=key)
        return
    sock, head = connect(servers["plain"], key=key)
    with sock:
        assert "\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n" in head
        sock.sendall(frame(0x81, b"keyed"))
        assert answer_of(sock) == ("text", b"keyed")


def answer_of(sock):
    return answer(sock, zlib.decompressobj(-15))
