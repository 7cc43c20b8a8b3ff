"""The HTTP front as a child process, on loopback, with its own folders."""
import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time

HTTP_BIN = os.environ.get("MARLEK_SMS_HTTP_BIN", "marlek-sms-http")
SMS_BIN = os.environ.get("MARLEK_SMS_BIN", "marlek-sms")


def add_token(tokens, name):
    """A token made by marlek-sms token add, as a client would get it."""
    out = subprocess.run([SMS_BIN, "token", "add", name, "--tokens", tokens],
                         check=True, capture_output=True, text=True).stdout
    lines = out.splitlines()
    assert len(lines) == 1, out
    return lines[0]


class Folders:
    """An outbox, a working directory and a tokens file with two clients."""

    def __init__(self, root=None):
        self.root = root or tempfile.mkdtemp(prefix="tst_http_")
        self.outbox = os.path.join(self.root, "outbox")
        self.workdir = os.path.join(self.root, "work")
        os.makedirs(self.outbox, exist_ok=True)
        os.makedirs(self.workdir, exist_ok=True)
        self.tokens = os.path.join(self.root, "tokens")
        self.token = add_token(self.tokens, "alice")
        self.other_token = add_token(self.tokens, "bob")

    def messages(self):
        return sorted(n for n in os.listdir(self.outbox) if not n.startswith("."))

    def everything(self):
        return sorted(n for n in os.listdir(self.outbox) if n != ".marlek-sms-http-keys")

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Front:
    """One marlek-sms-http; wrap lets a test start it inside another command,
    outbox="" leaves --outbox out."""

    def __init__(self, folders, extra=(), wrap=(), outbox=None):
        self.folders = folders
        where = [] if outbox == "" else ["--outbox", outbox or folders.outbox]
        args = list(wrap) + [HTTP_BIN] + where + ["--workdir", folders.workdir, "--tokens", folders.tokens,
                                                  "--listen", "127.0.0.1:0"] + list(extra)
        self.process = subprocess.Popen(args, stderr=subprocess.PIPE, text=True)
        self.log = []
        # The first line names the port taken.
        while True:
            line = self.process.stderr.readline()
            if not line:
                raise RuntimeError("the front ended: " + "".join(self.log))
            self.log.append(line)
            found = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
            if found:
                self.port = int(found.group(1))
                break
        # Read on, so a full pipe never holds the front up.
        self.reader = threading.Thread(target=lambda: self.log.extend(self.process.stderr), daemon=True)
        self.reader.start()

    def connection(self, timeout=30):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def request(self, method, path, body=None, headers=None, token=None, connection=None):
        """(status, headers, body) of one request."""
        h = dict(headers or {})
        if token is None:
            token = self.folders.token
        if token:
            h["Authorization"] = "Bearer " + token
        if isinstance(body, dict):
            body = json.dumps(body)
            h.setdefault("Content-Type", "application/json")
        c = connection or self.connection()
        c.request(method, path, body=body, headers=h)
        r = c.getresponse()
        data = r.read()
        if connection is None:
            c.close()
        return r.status, r.headers, data

    def send(self, message, key=None, token=None):
        headers = {"Idempotency-Key": key} if key else {}
        return self.request("POST", "/v1/messages", message, headers, token)

    def stop(self):
        """SIGTERM; the exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=30)
        self.reader.join(timeout=10)
        self.process.stderr.close()
        return code


def message(text="hello", to="+4912345678", sender="shop", kind=None):
    m = {"to": to, "from": sender, "text": text}
    if kind:
        m["kind"] = kind
    return m


def wait_until(check, seconds=20):
    """Waits for check() to be true; False after the time."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if check():
            return True
        time.sleep(0.05)
    return check()
