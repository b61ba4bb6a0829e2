"""Headless Chromium checks of the browser documents, usable against any server that serves
them: call with the server's base URL (scheme, host and port, no trailing path)."""
import json
import os
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "drive_page.js")
CHROMIUM = "/usr/bin/chromium"


def run_driver(url, mode="page", script=None, no_websocket=False, timeout_ms=20000):
    """Runs drive_page.js and returns its JSON output; fails on a driver or page error."""
    args = ["node", DRIVER, "--url", url, "--mode", mode, "--timeout", str(timeout_ms)]
    if no_websocket:
        args.append("--no-websocket")
    script_file = None
    try:
        if script is not None:
            script_file = tempfile.NamedTemporaryFile("w", suffix=".js", delete=False)
            script_file.write(script)
            script_file.close()
            args += ["--script", script_file.name]
        done = subprocess.run(args, capture_output=True, text=True,
                              timeout=timeout_ms / 1000 * 3 + 30)
    finally:
        if script_file is not None:
            os.unlink(script_file.name)
    lines = done.stdout.strip().splitlines()
    assert lines, f"driver printed nothing: {done.stderr}"
    output = json.loads(lines[-1])
    assert output.get("ok"), output.get("error", "") + "\n" + "\n".join(output.get("console", []))
    assert output["pageErrors"] == [], output["pageErrors"]
    return output


def check_test_page(base_url, transport="websocket", no_websocket=False):
    """Opens /Quillon.html, connects, sends "Test", sees the echo, closes and clears the log.
    Returns the driver's observations for further checks."""
    out = run_driver(base_url + "/Quillon.html", "page", no_websocket=no_websocket)
    assert out["httpStatus"] == 200
    r = out["result"]
    assert r["initialStatus"] == "closed"
    assert r["transport"] == f"({transport})"
    events = [line.split(":", 1)[0] for line in r["logAfterSend"]]
    assert events[0] == "open", r["logAfterSend"]
    assert "sent: Test" in r["logAfterSend"]
    assert "message: Test" in r["logAfterSend"]
    assert "error" not in events, r["logAfterSend"]
    assert any(line.startswith("close: ") for line in r["logAfterClose"]), r["logAfterClose"]
    assert r["logAfterClear"] == []
    return r


def evaluate(base_url, script, page="/Quillon.html", no_websocket=False):
    """Loads a page of the server (by default the test page, which loads Quillon.js) and runs
    `script` as the body of an async function there; returns its result."""
    return run_driver(base_url + page, "eval", script=script, no_websocket=no_websocket)["result"]
