"""WebSocket over a plain socket for the e2e tests that need what no stock client sends
(deflate-frame): bounded reads, the upgrade answer's head, server frames and masked client
frames."""
import os
import struct


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        assert chunk, "connection closed early"
        data += chunk
    return data


def read_head(sock):
    """Status line and headers up to the blank line, read byte by byte so no frame is eaten."""
    head = b""
    while b"\r\n\r\n" not in head:
        head += recv_exact(sock, 1)
    return head


def read_frame(sock):
    """One unmasked server frame: (first byte, payload)."""
    b0, b1 = recv_exact(sock, 2)
    length = b1 & 0x7F
    if length == 126:
        length = struct.unpack("!H", recv_exact(sock, 2))[0]
    elif length == 127:
        length = struct.unpack("!Q", recv_exact(sock, 8))[0]
    return b0, recv_exact(sock, length)


def client_frame(b0, payload):
    """A masked client frame; payloads up to 64 KiB."""
    key = os.urandom(4)
    masked = bytes(b ^ key[i % 4] for i, b in enumerate(payload))
    if len(payload) < 126:
        head = bytes([b0, 0x80 | len(payload)])
    else:
        head = bytes([b0, 0x80 | 126]) + struct.pack("!H", len(payload))
    return head + key + masked
