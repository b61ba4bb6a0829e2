"""quillon-server's web module over real clients: the start page and its tags, the "/test"
custom page (exact match only), the server-function invoker for local clients and the
redirect for a client bound to 127.0.0.2, unknown paths redirected to "/", static files with
their types, templates and paths out of the root refused, the JavaScript proxy generated
when missing or older than the program, REST calls of EchoString and ReverseString with curl
and requests (non-ASCII and non-BMP arguments, path and JSON-body arguments, errors,
sessions), and both pages driven in headless Chromium."""
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.parse

import pytest
import requests

from quillon_host import QuillonServer

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("QUILLON_SOURCE", os.path.join(HERE, "..", ".."))
WWW = os.path.join(SOURCE, "www")
DRIVER = os.path.join(HERE, "browser", "drive_pages.js")
CUSTOM_PAGE = "<html><head><title>Quillon Custom Page</title></head><body>... body ...</body></html>"


@pytest.fixture(scope="module")
def site():
    """A copy of www/ as the server's root, with a file beside the root that must stay out of
    reach, and links inside that lead out and into the templates."""
    base = tempfile.mkdtemp(prefix="quillon-bridge-")
    root = os.path.join(base, "root")
    shutil.copytree(WWW, root, ignore=shutil.ignore_patterns("serverfunctions.js"))
    with open(os.path.join(base, "secret.css"), "w") as f:
        f.write("secret")
    os.symlink(os.path.join(base, "secret.css"), os.path.join(root, "css", "out.css"))
    os.symlink(os.path.join(root, "templates", "reversestring.html"), os.path.join(root, "in.html"))
    yield root
    shutil.rmtree(base)


@pytest.fixture(scope="module")
def server(site):
    with QuillonServer("--root", site) as s:
        yield s


def raw(port, text, source="127.0.0.1", timeout=10):
    """Sends `text` from the given loopback address; returns status line, headers, body."""
    data = b""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                  source_address=(source, 0)) as sock:
        sock.sendall(text.encode() if isinstance(text, str) else text)
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(": ")
        headers.setdefault(name.lower(), value)
    return lines[0], headers, body


def get(port, path, source="127.0.0.1", method="GET"):
    return raw(port, f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Length: 0\r\n"
                     "Connection: close\r\n\r\n", source)


def test_start_page_with_its_tags(server):
    r = requests.get(server.base + "/", timeout=10)
    assert r.status_code == 200
    assert r.headers["Content-Type"] == "text/html; charset=utf-8"
    assert r.headers["Server"] == "Quillon 4.4.6"
    page = r.text
    assert "<title>Quillon</title>" in page
    assert "<#" not in page
    assert f"<code>127.0.0.1:{server.port}</code>" in page
    assert '<script src="/js/serverfunctions.js"></script>' in page
    assert f"port {server.port}</footer>" in page
    assert '<a href="/ServerFunctionInvoker" target="_blank">Server Functions</a>' in page
    assert requests.get(server.base + "/ReverseString", timeout=10).text.startswith("<!DOCTYPE html>")

    # A client that is not local gets the page without the invoker link.
    status, _, body = get(server.port, "/", source="127.0.0.2")
    assert status == "HTTP/1.1 200 OK"
    assert b"<title>Quillon</title>" in body
    assert b"ServerFunctionInvoker" not in body


@pytest.mark.parametrize("path,custom", [
    ("/test", True), ("/test?x=1", True), ("/test/", False), ("/TEST", False), ("/tes", False),
    ("/test.html", False),
])
def test_custom_page_only_for_the_exact_document(server, path, custom):
    status, headers, body = get(server.port, path)
    if custom:
        assert status == "HTTP/1.1 200 OK"
        assert body.decode() == CUSTOM_PAGE
    else:
        assert CUSTOM_PAGE.encode() not in body
        assert status in ("HTTP/1.1 302 Moved Temporarily", "HTTP/1.1 404 Not Found"), status


def test_invoker_for_local_clients_only(server):
    status, headers, body = get(server.port, "/ServerFunctionInvoker")
    assert status == "HTTP/1.1 200 OK"
    assert b"<title>Quillon server functions</title>" in body
    assert b'data-login-required="false"' in body
    status, headers, body = get(server.port, "/ServerFunctionInvoker", source="127.0.0.2")
    assert status == "HTTP/1.1 302 Moved Temporarily"
    assert headers["location"] == "/"
    assert b"server functions" not in body
    # curl bound to the same address sees the same.
    out = subprocess.run(["curl", "-s", "--interface", "127.0.0.2", "-o", "/dev/null", "-w",
                          "%{http_code} %{redirect_url}", server.base + "/ServerFunctionInvoker"],
                         capture_output=True, text=True, timeout=30)
    assert out.stdout == f"302 http://127.0.0.1:{server.port}/"


@pytest.mark.parametrize("method,path", [
    ("GET", "/nothing"), ("GET", "/nothing/here/"), ("GET", "/favicon.ico"), ("POST", "/form"),
    ("GET", "/templates/reversestring.html"), ("GET", "/TEMPLATES/serverfunctioninvoker.html"),
    ("GET", "/notes.txt"),
])
def test_unknown_paths_and_templates_are_redirected_to_the_start(server, method, path):
    status, headers, body = get(server.port, path, method=method)
    assert status == "HTTP/1.1 302 Moved Temporarily"
    assert headers["location"] == "/"
    assert body == b""


def test_static_files(server, site):
    for path, kind in (("/css/quillon.css", "text/css"), ("/js/reversestring.js", "text/javascript"),
                       ("/js/invoker.js", "text/javascript")):
        r = requests.get(server.base + path, timeout=10)
        assert r.status_code == 200, path
        assert r.headers["Content-Type"] == kind, path
        with open(os.path.join(site, path.lstrip("/")), "rb") as f:
            assert r.content == f.read(), path
    # A listed extension whose file is missing: a complete 404 without a body.
    for path in ("/missing.js", "/css/missing.css", "/none.png"):
        status, headers, body = get(server.port, path)
        assert status == "HTTP/1.1 404 Not Found", path
        assert body == b"", path


@pytest.mark.parametrize("path", [
    "/../secret.css", "/css/../../secret.css", "/%2e%2e/secret.css", "/css/%2E%2E/%2e%2e/secret.css",
    "/css/..%2f..%2fsecret.css", "/css/..%5c..%5csecret.css", "/css/out.css", "/in.html",
    "/css/quillon.css%00.css",
])
def test_nothing_outside_the_root_or_inside_the_templates(server, path):
    status, headers, body = get(server.port, path)
    assert b"secret" not in body and b"<#" not in body, path
    assert status in ("HTTP/1.1 404 Not Found", "HTTP/1.1 400 Bad Request",
                      "HTTP/1.1 302 Moved Temporarily"), (path, status)


def test_proxy_generated_when_missing_and_when_older_than_the_program(server, site):
    proxy = os.path.join(site, "js", "serverfunctions.js")
    if os.path.exists(proxy):
        os.remove(proxy)
    r = requests.get(server.base + "/js/serverfunctions.js", timeout=10)
    assert r.status_code == 200
    assert r.headers["Content-Type"] == "text/javascript"
    assert "function TServerMethods1(connectionInfo)" in r.text
    assert '"ReverseString": {"params": ["Value"]' in r.text
    assert "DSMetadata" not in r.text
    with open(proxy) as f:
        generated = f.read()
    assert generated == r.text

    with open(proxy, "w") as f:
        f.write("// stale")
    os.utime(proxy, (946684800, 946684800))
    assert requests.get(server.base + "/js/serverfunctions.js", timeout=10).text == generated

    with open(proxy, "w") as f:
        f.write("// newer than the program")
    future = time.time() + 86400
    os.utime(proxy, (future, future))
    assert requests.get(server.base + "/js/serverfunctions.js", timeout=10).text == \
        "// newer than the program"
    os.remove(proxy)
    assert not [n for n in os.listdir(os.path.join(site, "js")) if n.endswith(".tmp")]


def rest_url(server, method, *args):
    quoted = "/".join(urllib.parse.quote(a, safe="") for a in args)
    return f"{server.base}/datasnap/rest/TServerMethods1/{method}/{quoted}"


TEXTS = [
    ("abc", "cba"),
    ("", ""),
    ("Hello, World", "dlroW ,olleH"),
    ("h\u00e9llo w\u00f6rld", "dlr\u00f6w oll\u00e9h"),
    ("\u65e5\u672c\u8a9e", "\u8a9e\u672c\u65e5"),
    ("a\U0001F600b\U0001D11E", "\U0001D11Eb\U0001F600a"),
    ("\U0001F468\u200D\U0001F469", "\U0001F469\u200D\U0001F468"),
    ("q?x=1&y#z", "z#y&1=x?q"),
]


@pytest.mark.parametrize("text,reversed_text", TEXTS)
def test_rest_calls_with_requests(server, text, reversed_text):
    r = requests.get(rest_url(server, "ReverseString", text), timeout=10)
    assert r.status_code == 200
    assert r.headers["Content-Type"] == "application/json"
    assert r.json() == {"result": [reversed_text]}
    r = requests.get(rest_url(server, "EchoString", text), timeout=10)
    assert r.json() == {"result": [text]}
    # The same through a JSON body, which may hold "/" too.
    r = requests.post(f"{server.base}/datasnap/rest/TServerMethods1/ReverseString",
                      json={"_parameters": [text + "/"]}, timeout=10)
    assert r.json() == {"result": ["/" + reversed_text]}


def test_rest_calls_with_curl(server):
    out = subprocess.run(["curl", "-s", "-i", rest_url(server, "ReverseString", "abc")],
                         capture_output=True, timeout=30)
    head, _, body = out.stdout.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK")
    assert b"\r\nContent-Type: application/json" in head
    assert json.loads(body) == {"result": ["cba"]}
    out = subprocess.run(["curl", "-s", "-H", "Content-Type: application/json", "--data-binary",
                          json.dumps(["\u00e9t\u00e9 \U0001F600!"]),
                          f"{server.base}/datasnap/rest/TServerMethods1/ReverseString"],
                         capture_output=True, timeout=30)
    assert json.loads(out.stdout) == {"result": ["!\U0001F600 \u00e9t\u00e9"]}


@pytest.mark.parametrize("path,method,status,error", [
    ("/datasnap/rest/TServerMethods1/Nope/x", "GET", 404, "Server method TServerMethods1.Nope not found"),
    ("/datasnap/rest/TOther/EchoString/x", "GET", 404, "Server method TOther.EchoString not found"),
    ("/datasnap/rest/TServerMethods1/EchoString", "GET", 400,
     "TServerMethods1.EchoString takes 1 argument(s), not 0"),
    ("/datasnap/rest/TServerMethods1/EchoString/a/b", "GET", 400,
     "TServerMethods1.EchoString takes 1 argument(s), not 2"),
    ("/datasnap/rest/TServerMethods1/EchoString/a", "DELETE", 405, "Use GET or POST to call a server method"),
    ("/datasnap/nothing", "GET", 404, "No REST resource at /datasnap/nothing"),
])
def test_rest_errors_reach_the_client_with_their_status(server, path, method, status, error):
    r = requests.request(method, server.base + path, timeout=10)
    assert r.status_code == status
    assert r.headers["Content-Type"] == "application/json"
    assert r.json() == {"error": error}


def test_rest_session_is_kept_by_a_client_that_sends_it_back(server):
    first = requests.get(rest_url(server, "EchoString", "x"), timeout=10).headers["Pragma"]
    assert first.startswith("dssession=")
    again = requests.get(rest_url(server, "EchoString", "y"), headers={"Pragma": first}, timeout=10)
    assert again.headers["Pragma"] == first
    other = requests.get(rest_url(server, "EchoString", "z"), timeout=10)
    assert other.headers["Pragma"] != first


def test_a_missing_template_answers_500_and_the_server_goes_on(tmp_path):
    root = tmp_path / "root"
    shutil.copytree(WWW, root, ignore=shutil.ignore_patterns("serverfunctions.js"))
    os.remove(root / "templates" / "reversestring.html")
    with QuillonServer("--root", str(root)) as s:
        r = requests.get(s.base + "/", timeout=10)
        assert r.status_code == 500
        assert r.text == "Internal Server Error"
        assert requests.get(s.base + "/ServerFunctionInvoker", timeout=10).status_code == 200
        assert requests.get(rest_url(s, "ReverseString", "ab"), timeout=10).json() == {"result": ["ba"]}


# ---------------------------------------------------------------------------------------
# Headless Chromium

needs_browser = pytest.mark.skipif(
    not os.path.exists("/usr/bin/chromium") or shutil.which("node") is None
    or not os.path.isdir(os.path.join(HERE, "node", "node_modules", "playwright-core")),
    reason="needs /usr/bin/chromium, node and playwright-core (scripts/install-deps.sh)")


def drive(*args):
    done = subprocess.run(["node", DRIVER, *args], capture_output=True, text=True, timeout=120)
    lines = done.stdout.strip().splitlines()
    assert lines, done.stderr
    out = json.loads(lines[-1])
    assert out.get("ok"), out.get("error", "") + "\n" + "\n".join(out.get("console", []))
    assert out["pageErrors"] == [], out["pageErrors"]
    return out


@needs_browser
@pytest.mark.parametrize("text,reversed_text", [
    ("Hello, Quillon", "nolliuQ ,olleH"),
    ("\u00e9t\u00e9 \U0001F600 \u65e5\u672c", "\u672c\u65e5 \U0001F600 \u00e9t\u00e9"),
])
def test_browser_reverses_a_typed_text(server, text, reversed_text):
    out = drive("--url", server.base, "--mode", "reverse", "--text", text)
    assert out["httpStatus"] == 200
    assert out["title"] == "Quillon"
    assert out["resultClass"] == "result ok"
    assert out["answer"] == reversed_text
    assert "/ServerFunctionInvoker" in out["links"] and "/test" in out["links"]
    # The page loads nothing from anywhere else.
    assert all(u.startswith(server.base) or u.startswith("data:") for u in out["requests"]), out["requests"]


@needs_browser
def test_browser_invoker_lists_and_calls_the_methods(server):
    out = drive("--url", server.base, "--mode", "invoker", "--method", "TServerMethods1.EchoString",
                "--text", "echo \U0001F600")
    assert out["httpStatus"] == 200
    assert out["methods"] == ["TServerMethods1.EchoString", "TServerMethods1.ReverseString"]
    assert json.loads(out["result"]) == "echo \U0001F600"
