"""Starts and stops the headless host quillon-server for the end-to-end tests: each server on a
free loopback port, stopped with SIGTERM, and its exit status checked (the dev build's
sanitizers report leaks and crashes at exit, which turns the status non-zero)."""
import os
import signal
import socket
import subprocess
import tempfile
import threading

BIN = os.environ.get("QUILLON_BIN", os.path.join(os.path.dirname(__file__), "..", "..",
                                                 "build", "dev", "bin"))
SERVER = os.path.join(BIN, "quillon-server")
CERT_TOOL = os.path.join(BIN, "quillon-cert")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class QuillonServer:
    """One running quillon-server. Use as a context manager or call stop() yourself."""

    def __init__(self, *flags, env=None, threads=4):
        self.port = free_port()
        args = [SERVER, "--port", str(self.port), *flags]
        if "--threads" not in flags:
            args += ["--threads", str(threads)]
        # stderr goes to a file: a chatty server must never block on a full pipe.
        self._stderr = tempfile.TemporaryFile("w+")
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self._stderr,
                                     text=True, env=env)
        self.prefixes = []
        line = self._readline(30)
        if not line.startswith("listening "):
            self.proc.kill()
            self.proc.wait()
            raise AssertionError(f"quillon-server did not start: {line!r} {self.stderr()}")
        self.prefixes.append(line.split(" ", 1)[1].strip())
        self.scheme = "https" if self.prefixes[0].startswith("https") else "http"

    def _readline(self, timeout):
        result = []
        reader = threading.Thread(target=lambda: result.append(self.proc.stdout.readline()),
                                  daemon=True)
        reader.start()
        reader.join(timeout)
        return result[0] if result else ""

    @property
    def base(self):
        return f"{self.scheme}://127.0.0.1:{self.port}"

    @property
    def ws_url(self):
        return f"{'wss' if self.scheme == 'https' else 'ws'}://127.0.0.1:{self.port}/"

    def stderr(self):
        self._stderr.seek(0)
        return self._stderr.read()

    def alive(self):
        return self.proc.poll() is None

    def stop(self, timeout=30):
        """SIGTERM, then the exit status must be 0 within `timeout` seconds."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("quillon-server did not stop on SIGTERM: " + self.stderr())
        finally:
            self.proc.stdout.close()
        assert code == 0, f"quillon-server exited {code}: {self.stderr()}"

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        if kind is None:
            self.stop()
        elif self.proc.poll() is None:
            # The test already failed: still stop, but do not hide its error.
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return False


def raw_request(port, text, timeout=10, head_only=False):
    """Sends `text` on a fresh TCP connection and returns every byte until the server closes
    (or the timeout passes, which the caller sees as an incomplete answer); with `head_only`,
    only until the end of the header block (for answers that keep the connection, like 101)."""
    data = b""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(text.encode() if isinstance(text, str) else text)
        try:
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                data += chunk
                if head_only and b"\r\n\r\n" in data:
                    break
        except socket.timeout:
            pass
    return data
