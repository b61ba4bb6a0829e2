"""Small loopback servers that stand in for the Quillon server while the browser documents are
tested on their own: they serve the documents from resources/ with the placeholders filled in
the way the server does, and speak the server's protocols.

EchoPeer: WebSocket echo (python3-websockets) plus the documents, the session request
          (/lum/req/auth/session/user/password) and authenticated upgrades
          (/lum/auth/session/<id>, /lum/auth/url/user/password) for a table of users.
SSEPeer:  the server-sent-events fall-back: an event-stream on any GET that accepts it (retry
          line, then the connection GUID twice, a ping), XHR posts to /lum/xhr/<GUID> echoed
          back down the stream, and the documents, with QuillonEventSource.js (and, on
          request, QuillonFlash.js) put in front of Quillon.js as the server does.
Both run on one background event loop (PeerLoop).
"""
import asyncio
import http
import os
import re
import threading
import uuid

import websockets

RESOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                         "resources")
TEXT_TYPES = {".js": "text/javascript", ".html": "text/html; charset=utf-8"}
DOCUMENT_NAMES = ["Quillon.js", "QuillonFlash.js", "QuillonEventSource.js", "Quillon.html"]


def document_list(name, sse=False, flash=False):
    """The documents served for a requested name, in order."""
    names = [name]
    if name.lower() == "quillon.js":
        if flash:
            names.insert(0, "QuillonFlash.js")
        if sse:
            names.insert(0, "QuillonEventSource.js")
    return names


def render(names, host, port, ssl=False):
    """Concatenated documents, each followed by CR LF, with the placeholders replaced."""
    text = ""
    for name in names:
        match = [d for d in DOCUMENT_NAMES if d.lower() == name.lower()]
        if match:
            with open(os.path.join(RESOURCES, match[0]), encoding="utf-8") as f:
                text += f.read() + "\r\n"
    for key, value in (("host", host), ("port", str(port)), ("ssl", "s" if ssl else "")):
        text = re.sub(re.escape("{%" + key + "%}"), value, text, flags=re.IGNORECASE)
    return text.encode("utf-8")


def serve_document(path, host, port, sse=False, flash=False):
    """(content type, body) for a GET of a built-in document, or None."""
    name = path.split("?", 1)[0].rsplit("/", 1)[-1]
    ext = os.path.splitext(name)[1].lower()
    if ext not in TEXT_TYPES:
        return None
    body = render(document_list(name, sse, flash), host, port)
    return (TEXT_TYPES[ext], body) if body else None


class PeerLoop:
    """An asyncio loop on its own thread."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def run(self, coro, timeout=30):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def close(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)


class EchoPeer:
    def __init__(self, loop, users=None):
        self.users = dict(users or {})
        self.sessions = {}
        self.upgrades = []  # paths of accepted upgrades
        self.received = []  # messages, in order
        self.server = loop.run(self._start())
        self.port = self.server.sockets[0].getsockname()[1]

    async def _start(self):
        return await websockets.serve(self._echo, "127.0.0.1", 0,
                                      process_request=self._process_request)

    def _authorized(self, path):
        fields = path.split("/")
        if path.startswith("/lum/auth/session/"):
            return len(fields) >= 5 and self.sessions.pop(fields[4], None) is not None
        if path.startswith("/lum/auth/url/"):
            return len(fields) >= 6 and self.users.get(fields[4]) == fields[5]
        return not self.users

    async def _process_request(self, path, headers):
        if "websocket" in headers.get("Upgrade", "").lower():
            if not self._authorized(path):
                return http.HTTPStatus.NOT_FOUND, [("Content-Length", "0")], b""
            self.upgrades.append(path)
            return None
        if path.startswith("/lum/req/auth/session/"):
            fields = path.split("/")
            if len(fields) > 5 and self.users.get(fields[5]) == (fields[6] if len(fields) > 6 else ""):
                sid = uuid.uuid4().hex.upper()
                self.sessions[sid] = fields[5]
                return (http.HTTPStatus.OK, [("Content-Type", "text/plain")],
                        f"{sid}\r\n\r\n\r\n".encode())
            return http.HTTPStatus.NOT_FOUND, [], b"Not Found"
        doc = serve_document(path, "127.0.0.1", self.port)
        if doc is None:
            return http.HTTPStatus.NOT_FOUND, [], b"Not Found"
        return http.HTTPStatus.OK, [("Content-Type", doc[0]), ("Cache-Control", "no-cache")], doc[1]

    async def _echo(self, ws, path):
        async for message in ws:
            self.received.append(message)
            await ws.send(message)


SSE_HEAD = ("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
            "Cache-Control: no-cache, no-store, max-age=0, must-revalidate\r\n"
            "Expires: Fri, 01 Jan 1990 00:00:00 GMT\r\nPragma: no-cache\r\n"
            "Connection: close\r\n\r\n").encode()
FIELD = re.compile(r"(?i)^(data:|retry:|event:|id:)")


def sse_event(text):
    if not FIELD.match(text):
        text = "data: " + text
    return (text + "\r\n\r\n").encode("utf-8")


class SSEPeer:
    def __init__(self, loop, retry=3000, flash=False):
        self.retry = retry
        self.flash = flash
        self.streams = {}  # GUID -> writer
        self.opened = []  # GUIDs of streams, in order
        self.received = []  # texts posted, in order
        self.server = loop.run(asyncio.start_server(self._handle, "127.0.0.1", 0))
        self.port = self.server.sockets[0].getsockname()[1]

    async def _handle(self, reader, writer):
        try:
            head = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1")
            lines = head.split("\r\n")
            method, path, _ = lines[0].split(" ", 2)
            headers = {}
            for line in lines[1:]:
                if ": " in line:
                    name, value = line.split(": ", 1)
                    headers[name.lower()] = value
            if method == "GET" and "text/event-stream" in headers.get("accept", "").lower():
                await self._stream(reader, writer)
            elif method == "POST" and path.startswith("/lum/xhr/"):
                length = int(headers.get("content-length", "0"))
                body = (await reader.readexactly(length)).decode("utf-8")
                target = self.streams.get(path.replace("/lum/xhr/", ""))
                if target is not None and length:
                    self.received.append(body)
                    target.write(sse_event(body))  # the echo host answers every message
                await self._answer(writer, 200, "text/html", b"")
            elif method == "GET":
                doc = serve_document(path, "127.0.0.1", self.port, sse=True, flash=self.flash)
                if doc is None:
                    await self._answer(writer, 404, "text/plain", b"Not Found")
                else:
                    await self._answer(writer, 200, doc[0], doc[1])
            else:
                await self._answer(writer, 404, "text/plain", b"Not Found")
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    async def _answer(self, writer, status, content_type, body):
        reason = {200: "OK", 404: "Not Found"}[status]
        writer.write(f"HTTP/1.1 {status} {reason}\r\nContent-Type: {content_type}\r\n"
                     f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n".encode() + body)
        await writer.drain()

    async def _stream(self, reader, writer):
        guid = uuid.uuid4().hex.upper()
        self.streams[guid] = writer
        self.opened.append(guid)
        writer.write(SSE_HEAD)
        writer.write(sse_event(f"retry: {self.retry * 1000}"))
        writer.write(sse_event(guid))
        writer.write(sse_event(guid))
        writer.write(sse_event("event: Ping\ndata: 20240101120000000"))
        await writer.drain()
        try:
            await reader.read()  # until the browser leaves
        finally:
            self.streams.pop(guid, None)
