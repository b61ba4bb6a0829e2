"""Real HTTP and WebSocket clients for the control window's test, one request per run, with
the result as one JSON line on stdout:
    get URL             {"status": 200, "body": "...", "location": "..."}  (no redirects followed)
    echo URL TEXT       {"echo": "..."}  the first message the server sends back
A connection that fails prints {"error": "..."}. Every step is bounded by a 10 s time-out."""
import asyncio
import json
import ssl
import sys

import requests
import urllib3
import websockets


def get(url):
    urllib3.disable_warnings()
    r = requests.get(url, allow_redirects=False, verify=False, timeout=10)
    return {"status": r.status_code, "body": r.text, "location": r.headers.get("Location", "")}


async def echo(url, text):
    context = None
    if url.startswith("wss:"):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    async with websockets.connect(url, ssl=context, open_timeout=10, compression=None) as ws:
        await ws.send(text)
        return {"echo": await asyncio.wait_for(ws.recv(), 10)}


def main():
    try:
        if sys.argv[1] == "get":
            result = get(sys.argv[2])
        else:
            result = asyncio.run(echo(sys.argv[2], sys.argv[3]))
    except Exception as e:  # reported to the test, which decides
        result = {"error": f"{type(e).__name__}: {e}"}
    print(json.dumps(result))


main()
