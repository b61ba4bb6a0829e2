"""quillon-server as an OAuth2 authorization server over TLS: the whole authorization-code
flow and a refresh driven by requests-oauthlib, a bearer-protected request before and after
expiry, the token endpoint's error answers and JSON member order, the authorization and
sign-in answers, and WebSocket upgrades with and without a bearer token."""
import json
import os
import re
import socket
import ssl
import subprocess
import sys
import time
from urllib.parse import parse_qs, urlsplit

import pytest
import requests
from requests_oauthlib import OAuth2Session

from quillon_host import CERT_TOOL, QuillonServer
from ws_raw import read_head

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser"))
from browser_harness import evaluate  # noqa: E402

pytestmark = pytest.mark.skipif(not os.path.exists(CERT_TOOL), reason="quillon-cert not built")

CLIENT_ID = "client-id"
SECRET = "amber-walnuts"
REDIRECT = "https://client.example/cb"


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    stores = tmp_path_factory.mktemp("stores")
    env = dict(os.environ, QUILLON_CERT_STORES=str(stores))
    thumb = subprocess.run([CERT_TOOL, "--store", "E2E", "127.0.0.1"], env=env,
                           capture_output=True, text=True, check=True, timeout=60).stdout.strip()
    return env, thumb, str(stores / "E2E" / f"{thumb}.pem")


def oauth2_server(store, *flags):
    env, thumb, _ = store
    return QuillonServer("--ssl", "--hash", thumb, "--cert-store", "E2E", "--oauth2", *flags,
                         env=env)


@pytest.fixture(scope="module")
def server(store):
    # A redirect URI with a query, and texts that must be escaped on the page.
    with oauth2_server(store, "--redirect-uri", REDIRECT + "?tenant=7",
                       "--app-name", "Bob's <App>") as s:
        yield s


@pytest.fixture(scope="module")
def short_server(store):
    with oauth2_server(store, "--redirect-uri", REDIRECT, "--oauth2-expires-in", "3") as s:
        yield s


def page_id(html):
    m = re.search(r'name="id" value="([0-9a-f]{64})"', html)
    assert m, html
    return m.group(1)


def authorize(srv, pem, redirect, scope="read write", state="s 1&2"):
    """Authorization request and an accepted sign-in; returns the redirect's query."""
    r = requests.get(srv.base + "/lum/oauth2/auth", verify=pem, timeout=10,
                     params={"response_type": "code", "client_id": CLIENT_ID,
                             "redirect_uri": redirect, "scope": scope, "state": state})
    assert r.status_code == 200 and r.headers["Content-Type"].startswith("text/html")
    rid = page_id(r.text)
    r = requests.get(srv.base + "/lum/oauth2/auth", verify=pem, timeout=10, allow_redirects=False,
                     params={"request_type": "sign-in", "username": "", "password": "", "id": rid})
    assert r.status_code == 302
    return r.headers["Location"], rid


def token(srv, pem, **body):
    r = requests.post(srv.base + "/lum/oauth2/token", data=body, verify=pem, timeout=10)
    return r


def test_code_flow_refresh_and_expiry_with_requests_oauthlib(short_server, store):
    _, _, pem = store
    base = short_server.base
    client = OAuth2Session(CLIENT_ID, redirect_uri=REDIRECT, scope=["read", "write"])
    url, state = client.authorization_url(base + "/lum/oauth2/auth")
    page = requests.get(url, verify=pem, timeout=10)
    assert page.status_code == 200
    signin = requests.get(base + "/lum/oauth2/auth", verify=pem, timeout=10, allow_redirects=False,
                          params={"request_type": "sign-in", "username": "anyone",
                                  "password": "x", "id": page_id(page.text)})
    location = signin.headers["Location"]
    assert location.startswith(REDIRECT + "?code=")
    # oauthlib checks the state it sent against the one that comes back.
    tok = client.fetch_token(base + "/lum/oauth2/token", authorization_response=location,
                             client_secret=SECRET, include_client_id=True, verify=pem)
    assert tok["token_type"] == "Bearer" and len(tok["access_token"]) == 64
    assert tok["expires_in"] in (2, 3) and tok["scope"] == ["read", "write"]

    protected = client.get(base + "/test", verify=pem, timeout=10)
    assert protected.status_code == 200 and "Quillon Custom Page" in protected.text
    old = tok["access_token"]

    new = client.refresh_token(base + "/lum/oauth2/token", client_id=CLIENT_ID,
                               client_secret=SECRET, verify=pem)
    assert new["access_token"] != old and new["refresh_token"] == tok["refresh_token"]
    assert client.get(base + "/test", verify=pem, timeout=10).status_code == 200
    stale = requests.get(base + "/test", verify=pem, timeout=10,
                         headers={"Authorization": "Bearer " + old})
    assert stale.status_code == 401

    time.sleep(3.2)
    # The client library would refuse to send an expired token: send it by hand.
    late = requests.get(base + "/test", verify=pem, timeout=10,
                        headers={"Authorization": "Bearer " + new["access_token"]})
    assert late.status_code == 401
    # The expired request is gone: its refresh token is unknown now.
    gone = token(short_server, pem, grant_type="refresh_token",
                 refresh_token=tok["refresh_token"], scope="read write",
                 client_id=CLIENT_ID, client_secret=SECRET).json()
    assert gone["error_description"] == "Refresh Token not found " + tok["refresh_token"]


def test_token_endpoint_answers(server, store):
    _, _, pem = store
    redirect = REDIRECT + "?tenant=7"
    location, _ = authorize(server, pem, redirect, scope="read", state="s 1&2")
    # The registered URI already has a query: the code and state follow with "&", encoded.
    assert re.fullmatch(re.escape(redirect) + r"&code=[0-9a-f]{32}&state=s%201%262", location)
    code = parse_qs(urlsplit(location).query)["code"][0]

    good = dict(grant_type="authorization_code", code=code, redirect_uri=redirect,
                client_id=CLIENT_ID, client_secret=SECRET)
    failures = [
        (dict(redirect_uri="https://evil.example/"),
         "Redirect_URI https://evil.example/ is different from previous value " + redirect),
        (dict(client_id="other"), "Client_Id other is different from previous value client-id"),
        (dict(client_secret="guess"), "ClientSecret guess is different from previous value"),
        (dict(code="0" * 32), "Authorization Code not found " + "0" * 32),
        (dict(code=""), "Authorization Code not found "),
        (dict(code='"x'), 'Authorization Code not found "x'),
    ]
    for change, description in failures:
        r = token(server, pem, **{**good, **change})
        assert r.status_code == 200 and r.headers["Cache-Control"] == "no-store"
        assert r.json() == {"error": "invalid_request", "error_description": description}, change
        assert SECRET not in r.text

    # A failed check leaves the code usable; the members come in this order.
    r = token(server, pem, **good)
    pairs = json.loads(r.text, object_pairs_hook=list)
    assert [k for k, _ in pairs] == ["token_type", "access_token", "expires_in",
                                     "refresh_token", "scope"]
    ok = dict(pairs)
    assert ok["token_type"] == "Bearer" and ok["expires_in"] in (3599, 3600)
    assert re.fullmatch("[0-9a-f]{64}", ok["access_token"])
    assert re.fullmatch("[0-9a-f]{64}", ok["refresh_token"]) and ok["scope"] == "read"
    assert token(server, pem, **good).json()["error_description"] == "Invalid request"

    assert token(server, pem, **{**good, "grant_type": "password"}).status_code == 404
    refresh = dict(grant_type="REFRESH_TOKEN", refresh_token=ok["refresh_token"], scope="read",
                   client_id=CLIENT_ID, client_secret=SECRET)
    wrong = token(server, pem, **{**refresh, "scope": "admin"}).json()
    assert wrong["error_description"] == "Scope admin is different from previous value read"
    pairs = json.loads(token(server, pem, **refresh).text, object_pairs_hook=list)
    assert [k for k, _ in pairs] == ["token_type", "access_token", "expires_in", "scope"]
    renewed = dict(pairs)["access_token"]

    # Header name and scheme in any letter case.
    for header in ("Authorization", "authorization"):
        for scheme in ("Bearer", "bearer"):
            r = requests.get(server.base + "/test", verify=pem, timeout=10,
                             headers={header: f"{scheme} {renewed}"})
            assert r.status_code == 200, (header, scheme)
    for value in ("Bearer " + ok["access_token"], "Bearer ", "Basic Zm9vOmJhcg==", None):
        headers = {} if value is None else {"Authorization": value}
        r = requests.get(server.base + "/test", verify=pem, timeout=10, headers=headers)
        assert r.status_code == 401, value


def test_authorization_and_sign_in_answers(server, store):
    _, _, pem = store
    redirect = REDIRECT + "?tenant=7"
    auth = server.base + "/lum/oauth2/auth"

    def get(params, **kw):
        return requests.get(auth, params=params, verify=pem, timeout=10, allow_redirects=False, **kw)

    base = {"response_type": "code", "client_id": CLIENT_ID, "redirect_uri": redirect,
            "scope": "<b>read</b>", "state": "x"}
    for params in ({}, {**base, "client_id": "unknown"}, {**base, "client_id": "MyApp"},
                   {**base, "redirect_uri": "https://evil.example/"}):
        r = get(params)
        assert (r.status_code, r.headers.get("Location")) == (404, None), params

    page = get(base)
    assert page.status_code == 200
    assert "<title>OAuth2 Authorization</title>" in page.text
    assert "The app <b>Bob&#39;s &lt;App&gt;</b> would like" in page.text
    assert "Scopes: &lt;b&gt;read&lt;/b&gt;" in page.text and "<b>read</b>" not in page.text
    assert "{%" not in page.text and "http" not in page.text.split("</title>")[1].split("</style>")[0]
    rid = page_id(page.text)

    signin = {"request_type": "sign-in", "username": "u", "password": "p"}
    assert get({**signin, "id": "f" * 64}).status_code == 404
    first = get({**signin, "id": rid})
    assert first.status_code == 302 and "&code=" in first.headers["Location"]
    second = get({**signin, "id": rid})
    assert second.headers["Location"] == redirect + "&error=invalid_request"
    assert get({**signin, "id": rid}).status_code == 404  # the request is gone

    # Other requests that merely mention the endpoint are not endpoint requests.
    r = requests.get(server.base + "/lum/oauth2/authx", verify=pem, timeout=10,
                     headers={"Referer": auth + "?widget=1"})
    assert r.status_code == 401


def upgrade_over_tls(port, pem, path="/", headers=()):
    context = ssl.create_default_context(cafile=pem)
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname="127.0.0.1") as sock:
            request = (f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                       "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                       "Sec-WebSocket-Version: 13\r\n" + "".join(f"{h}\r\n" for h in headers) +
                       "\r\n")
            sock.sendall(request.encode())
            return read_head(sock).split(b"\r\n")[0]


def test_websocket_upgrades_need_a_bearer_token(server, store):
    _, _, pem = store
    location, _ = authorize(server, pem, REDIRECT + "?tenant=7", scope="ws")
    code = parse_qs(urlsplit(location).query)["code"][0]
    access = token(server, pem, grant_type="authorization_code", code=code,
                   redirect_uri=REDIRECT + "?tenant=7", client_id=CLIENT_ID,
                   client_secret=SECRET).json()["access_token"]
    assert b" 101 " in upgrade_over_tls(server.port, pem, headers=[f"Authorization: Bearer {access}"])
    for headers in ([], ["Authorization: Bearer " + "0" * 64]):
        assert b" 404 " in upgrade_over_tls(server.port, pem, headers=headers), headers


BROWSER_SIGN_IN = """
// Shown: what the browser paints at the middle of the panel's heading is that heading.
const visible = (id) => {
  const h = document.getElementById(id).querySelector('h1');
  const r = h.getBoundingClientRect();
  return document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2) === h &&
    getComputedStyle(h).visibility === 'visible';
};
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const before = { auth: visible('authorization'), signIn: visible('sign-in') };
document.getElementById('allow').click();
await sleep(600);
const after = { auth: visible('authorization'), signIn: visible('sign-in'),
                focused: document.activeElement.id };
document.getElementById('back').click();
await sleep(600);
const back = { auth: visible('authorization'), signIn: visible('sign-in') };
const form = document.querySelector('form');
form.username.value = 'browser user';
form.password.value = 'p&ss';
const query = new URLSearchParams(new FormData(form)).toString();
const fields = [...form.elements].filter((e) => e.name).map((e) => [e.name, e.type, e.placeholder]);
const external = [...document.querySelectorAll('[src],[href]')].map((e) => e.src || e.href);
return { before, after, back, query, fields, method: form.method, action: form.getAttribute('action'),
         external, title: document.title, submit: form.querySelector('[type=submit]').textContent };
"""


def test_authorization_page_in_chromium(short_server, store):
    _, _, pem = store
    path = ("/lum/oauth2/auth?response_type=code&client_id=client-id&redirect_uri="
            "https%3A%2F%2Fclient.example%2Fcb&scope=read&state=b1")
    r = evaluate(short_server.base, BROWSER_SIGN_IN, page=path)
    assert r["before"] == {"auth": True, "signIn": False}
    assert r["after"] == {"auth": False, "signIn": True, "focused": "username"}
    assert r["back"] == {"auth": True, "signIn": False}
    assert r["fields"] == [["request_type", "hidden", ""], ["username", "text", "Username"],
                           ["password", "password", "Password"], ["id", "hidden", ""]]
    assert (r["method"], r["action"], r["external"]) == ("get", "", [])
    assert r["title"] == "OAuth2 Authorization" and r["submit"] == "Sign In"
    # What the browser would send is what the sign-in understands.
    signin = requests.get(short_server.base + "/lum/oauth2/auth?" + r["query"], verify=pem,
                          timeout=10, allow_redirects=False)
    assert signin.status_code == 302
    assert re.fullmatch(re.escape(REDIRECT) + r"\?code=[0-9a-f]{32}&state=b1",
                        signin.headers["Location"])
