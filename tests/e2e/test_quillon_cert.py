"""quillon-cert as a user runs it: the printed thumbprint is the certificate's SHA-1 as
openssl computes it, the file is private, and a TLS server with it passes a client's checks."""
import os
import socket
import stat
import subprocess
import time
from pathlib import Path

import pytest

BIN = Path(os.environ.get("QUILLON_BIN", "build/dev/bin"))
TOOL = BIN / "quillon-cert"


def run(args, stores, **kw):
    env = dict(os.environ, QUILLON_CERT_STORES=str(stores))
    return subprocess.run([str(TOOL), *args], env=env, capture_output=True, text=True,
                          timeout=60, **kw)


def openssl_sha1(pem: Path) -> str:
    out = subprocess.run(["openssl", "x509", "-in", str(pem), "-noout", "-fingerprint", "-sha1"],
                         capture_output=True, text=True, check=True, timeout=30).stdout
    # "sha1 Fingerprint=AB:CD:..." (the label's case differs between versions)
    return out.strip().split("=", 1)[1].replace(":", "").upper()


@pytest.mark.parametrize("host,args", [
    ("127.0.0.1", []),
    ("localhost", ["--ec", "--days", "30"]),
])
def test_thumbprint_matches_openssl(tmp_path, host, args):
    stores = tmp_path / "stores"
    r = run([*args, host], stores)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    lines = r.stdout.splitlines()
    assert len(lines) == 1
    thumb = lines[0]
    assert len(thumb) == 40 and thumb == thumb.upper()
    assert all(c in "0123456789ABCDEF" for c in thumb)

    pem = stores / "MY" / f"{thumb}.pem"
    assert pem.is_file()
    assert stat.S_IMODE(pem.stat().st_mode) == 0o600
    assert stat.S_IMODE((stores / "MY").stat().st_mode) == 0o700
    assert openssl_sha1(pem) == thumb

    text = subprocess.run(["openssl", "x509", "-in", str(pem), "-noout", "-subject", "-ext",
                           "subjectAltName"], capture_output=True, text=True, check=True,
                          timeout=30).stdout
    assert f"CN = {host}" in text or f"CN={host}" in text
    assert f"DNS:{host}" in text
    if host == "127.0.0.1":
        assert "IP Address:127.0.0.1" in text
    # The key in the same file belongs to the certificate.
    subprocess.run(["openssl", "pkey", "-in", str(pem), "-noout"], check=True, timeout=30)


def test_named_and_absolute_stores(tmp_path):
    stores = tmp_path / "stores"
    r = run(["--store", "WebHosting", "localhost"], stores)
    assert r.returncode == 0, r.stderr
    assert (stores / "WebHosting" / f"{r.stdout.strip()}.pem").is_file()

    absolute = tmp_path / "abs" / "store"
    r = run(["--store", str(absolute), "localhost"], stores)
    assert r.returncode == 0, r.stderr
    assert openssl_sha1(absolute / f"{r.stdout.strip()}.pem") == r.stdout.strip()


@pytest.mark.parametrize("args,needle", [
    ([], "HOST is required"),
    (["--days", "0", "localhost"], "--days"),
    (["--days", "ten", "localhost"], "--days"),
    (["--store"], "--store"),
    (["--bogus", "localhost"], "unknown option"),
    (["a", "b"], "one HOST"),
    (["bad host,DNS:evil"], "invalid host"),
])
def test_errors_go_to_stderr_with_exit_1(tmp_path, args, needle):
    stores = tmp_path / "stores"
    r = run(args, stores)
    assert r.returncode == 1
    assert r.stdout == ""
    assert needle in r.stderr
    assert not (stores / "MY").exists() or not any((stores / "MY").iterdir())


def test_help(tmp_path):
    r = run(["--help"], tmp_path)
    assert r.returncode == 0
    assert r.stdout.startswith("usage: quillon-cert")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_openssl_client_verifies_a_server_using_the_certificate(tmp_path):
    stores = tmp_path / "stores"
    r = run(["127.0.0.1"], stores)
    assert r.returncode == 0, r.stderr
    pem = stores / "MY" / f"{r.stdout.strip()}.pem"

    port = free_port()
    server = subprocess.Popen(["openssl", "s_server", "-accept", f"127.0.0.1:{port}", "-cert",
                               str(pem), "-key", str(pem), "-www", "-quiet"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        client = subprocess.run(["openssl", "s_client", "-connect", f"127.0.0.1:{port}",
                                 "-CAfile", str(pem), "-verify_ip", "127.0.0.1",
                                 "-verify_return_error", "-brief"],
                                input="", capture_output=True, text=True, timeout=30)
        assert client.returncode == 0, client.stderr
        assert "Verification: OK" in client.stderr
    finally:
        server.terminate()
        server.wait(timeout=10)
