"""Peer for the monitor client's tests, on 127.0.0.1 with a free port.

Modes:
  ws         a real WebSocket server (python3-websockets); reports "closed <path> <code>" once
             a client closes, so the test sees the client's close frame was accepted
  badaccept  answers any request with a 101 whose Sec-WebSocket-Accept is wrong
  notfound   answers any request with 404
  silent     accepts connections and never answers
--cert PEM makes the ws mode serve TLS with a certificate and key in one PEM file.
Prints "ready <port>" first, then runs until its standard input closes.
"""
import argparse
import asyncio
import ssl
import sys

import websockets


def say(text):
    print(text, flush=True)


async def raw_server(answer):
    async def handle(reader, writer):
        try:
            await reader.readuntil(b"\r\n\r\n")
            if answer is not None:
                writer.write(answer)
                await writer.drain()
            await reader.read()  # hold the connection until the client leaves
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    return await asyncio.start_server(handle, "127.0.0.1", 0)


async def ws_server(cert):
    context = None
    if cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert)

    async def handle(ws, path):
        async for _ in ws:
            pass
        say(f"closed {path} {ws.close_code}")

    return await websockets.serve(handle, "127.0.0.1", 0, ssl=context)


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["ws", "badaccept", "notfound", "silent"])
    parser.add_argument("--cert")
    args = parser.parse_args()
    if args.mode == "ws":
        server = await ws_server(args.cert)
    elif args.mode == "badaccept":
        server = await raw_server(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                  b"Connection: Upgrade\r\n"
                                  b"Sec-WebSocket-Accept: AAAAAAAAAAAAAAAAAAAAAAAAAAA=\r\n\r\n")
    elif args.mode == "notfound":
        server = await raw_server(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
    else:
        server = await raw_server(None)
    say(f"ready {server.sockets[0].getsockname()[1]}")
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
