"""Contract tests of marlek-sms-http: the real program, a real HTTP client,
loopback only. One class per concern; CTest runs each class on its own."""
import hashlib
import json
import os
import re
import signal
import socket
import stat
import subprocess
import threading
import time
import unittest

from frontfixture import SMS_BIN, Folders, Front, HTTP_BIN, add_token, message, wait_until


class FrontCase(unittest.TestCase):
    def setUp(self):
        self.folders = Folders()
        self.fronts = []

    def tearDown(self):
        for front in self.fronts:
            front.stop()
            # Under the sanitizers their reports count as failures.
            log = "".join(front.log)
            self.assertNotIn("Sanitizer", log)
            self.assertNotIn("runtime error:", log)
        self.folders.remove()

    def start(self, *extra, **kw):
        front = Front(self.folders, extra, **kw)
        self.fronts.append(front)
        return front

    def assertAccepted(self, result):
        status, headers, body = result
        self.assertEqual(status, 202, body)
        answer = json.loads(body)
        self.assertEqual(answer["state"], "queued")
        self.assertEqual(headers["Location"], "/v1/messages/" + answer["id"])
        return answer["id"]

    def assertProblem(self, result, status, field=None):
        got, headers, body = result
        self.assertEqual(got, status, body)
        self.assertEqual(headers["Content-Type"], "application/problem+json")
        problem = json.loads(body)
        for key in ("type", "title", "status", "detail"):
            self.assertIn(key, problem)
        self.assertEqual(problem["status"], status)
        if field:
            self.assertEqual(problem.get("field"), field, body)
        return problem


class Idempotency(FrontCase):
    def test_replay_and_conflict(self):
        front = self.start()
        first = self.assertAccepted(front.send(message("one"), key="order-17"))
        with open(os.path.join(self.folders.outbox, first), "rb") as f:
            self.assertEqual(f.read(), b"+4912345678\r\nshop\r\none\r\n")
        status, headers, body = front.send(message("one"), key="order-17")
        self.assertEqual(self.assertAccepted((status, headers, body)), first)
        self.assertEqual(self.folders.messages(), [first])
        self.assertProblem(front.send(message("other"), key="order-17"), 422, "Idempotency-Key")
        # The key is the client's own: another client's is another key.
        second = self.assertAccepted(front.send(message("one"), key="order-17", token=self.folders.other_token))
        self.assertNotEqual(first, second)
        self.assertEqual(len(self.folders.messages()), 2)

    def test_bad_keys(self):
        front = self.start()
        for key in ("a b", "x" * 256, "ä"):
            with self.subTest(key=key):
                self.assertProblem(front.send(message(), key=key.encode("utf-8")), 400, "Idempotency-Key")
        self.assertAccepted(front.send(message(), key="k" * 255))

    def test_concurrent_key(self):
        front = self.start()
        answers = []
        go = threading.Event()

        def post():
            go.wait()
            answers.append(front.send(message("once"), key="burst"))

        threads = [threading.Thread(target=post) for _ in range(50)]
        for t in threads:
            t.start()
        go.set()
        for t in threads:
            t.join()
        accepted = {json.loads(b)["id"] for s, _, b in answers if s == 202}
        self.assertEqual(len(self.folders.messages()), 1)
        self.assertEqual(accepted, set(self.folders.messages()))
        self.assertEqual({s for s, _, _ in answers} - {202, 409}, set())
        for s, h, b in answers:
            if s == 409:
                self.assertProblem((s, h, b), 409, "Idempotency-Key")
        # Once the first is answered, every later one replays it.
        self.assertEqual(self.assertAccepted(front.send(message("once"), key="burst")), accepted.pop())

    def test_key_survives_restart(self):
        front = self.start()
        first = self.assertAccepted(front.send(message(), key="restart"))
        self.assertEqual(front.stop(), 0)
        self.fronts.remove(front)
        again = self.start()
        self.assertEqual(self.assertAccepted(again.send(message(), key="restart")), first)
        self.assertProblem(again.send(message("changed"), key="restart"), 422, "Idempotency-Key")
        self.assertEqual(self.folders.messages(), [first])

    def test_abandoned_claim(self):
        # A claim left by a front that died mid-request: 409 while it may
        # still be answered, taken over after a minute.
        front = self.start()
        m = message("after a crash")
        name = hashlib.sha256(b"alice\nlost").hexdigest()
        fields = b"".join(b"%d:%s" % (len(v.encode()), v.encode()) for v in (m["to"], m["from"], m["text"]))
        fingerprint = hashlib.sha256(fields + b"normal").hexdigest()
        claim = os.path.join(self.folders.outbox, ".marlek-sms-http-keys", name)
        with open(claim, "w") as f:
            f.write("P %s %d\n" % (fingerprint, time.time()))
        self.assertProblem(front.send(m, key="lost"), 409, "Idempotency-Key")
        os.utime(claim, (time.time() - 120, time.time() - 120))
        first = self.assertAccepted(front.send(m, key="lost"))
        self.assertEqual(self.assertAccepted(front.send(m, key="lost")), first)
        self.assertEqual(self.folders.messages(), [first])

    def test_two_fronts_one_outbox(self):
        a, b = self.start(), self.start()
        answers = []
        go = threading.Event()

        def post(front):
            go.wait()
            answers.append(front.send(message("shared"), key="both"))

        threads = [threading.Thread(target=post, args=(f,)) for f in (a, b) * 10]
        for t in threads:
            t.start()
        go.set()
        for t in threads:
            t.join()
        self.assertEqual(len(self.folders.messages()), 1)
        ids = {json.loads(body)["id"] for status, _, body in answers if status == 202}
        self.assertEqual(ids, set(self.folders.messages()))
        self.assertEqual(self.assertAccepted(b.send(message("shared"), key="both")), ids.pop())


class ErrorCodes(FrontCase):
    def test_fields(self):
        front = self.start()
        rows = [
            ("to letters", message(to="0800-SHOP"), "to"),
            ("to too long", message(to="1" * 16), "to"),
            ("no from", {"to": "1", "text": "x"}, "from"),
            ("from too long", message(sender="s" * 16), "from"),
            ("text 161", message(text="x" * 161), "text"),
            ("line break", message(text="a\nb"), "text"),
            ("outside the code page", message(text="5 \u20ac"), "text"),
            ("kind", message(kind="loud"), "kind"),
            ("no string", {"to": 1, "from": "a", "text": "b"}, "to"),
            ("unknown field", dict(message(), priority="high"), "priority"),
        ]
        for name, body, field in rows:
            with self.subTest(name):
                problem = self.assertProblem(front.send(body), 422, field)
                if name == "outside the code page":
                    self.assertIn("U+20AC", problem["detail"])
        for kind in ("normal", "flash", "logo", "ring"):
            with self.subTest(kind=kind):
                self.assertAccepted(front.send(message(kind=kind)))
        extensions = sorted(n.rsplit(".", 1)[1] for n in self.folders.messages())
        self.assertEqual(extensions, ["flh", "lnol", "ring", "sms"])

    def test_form(self):
        front = self.start()
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        new = self.assertAccepted(front.request("POST", "/v1/messages", "to=%2B49123&from=web+shop&text=a%26b+c", form))
        with open(os.path.join(self.folders.outbox, new), "rb") as f:
            self.assertEqual(f.read(), b"+49123\r\nweb shop\r\na&b c\r\n")
        for body in ("to=1&to=2&from=a&text=b", "to=%ff&from=a&text=b", "to"):
            with self.subTest(body=body):
                self.assertProblem(front.request("POST", "/v1/messages", body, form), 400)

    def test_codes(self):
        front = self.start()
        json_type = {"Content-Type": "application/json"}
        rows = [
            ("no token", ("GET", "/v1/status", None, {}, ""), 401),
            ("wrong token", ("GET", "/v1/status", None, {}, "nope"), 401),
            ("malformed JSON", ("POST", "/v1/messages", "{\"to\":", json_type, None), 400),
            ("no object", ("POST", "/v1/messages", "[1]", json_type, None), 400),
            ("other type", ("POST", "/v1/messages", "x", {"Content-Type": "text/plain"}, None), 415),
            ("no type", ("POST", "/v1/messages", "x", {}, None), 415),
            ("too large", ("POST", "/v1/messages", "x" * 16385, json_type, None), 413),
            ("other path", ("GET", "/v2/messages", None, {}, None), 404),
            ("malformed id", ("GET", "/v1/messages/../../etc/passwd", None, {}, None), 404),
            ("unknown id", ("GET", "/v1/messages/20260101T000000.000000Z_1_0001.sms", None, {}, None), 404),
        ]
        for name, (method, path, body, headers, token), status in rows:
            with self.subTest(name):
                result = front.request(method, path, body, headers, token)
                self.assertProblem(result, status)
                if status == 401:
                    self.assertIn('Bearer realm="marlek-sms"', result[1].get_all("WWW-Authenticate"))
        for method, path, allow in (("GET", "/v1/messages", "POST"), ("DELETE", "/v1/status", "GET, HEAD"),
                                    ("POST", "/healthz", "GET, HEAD"), ("PUT", "/v1/messages/x", "GET, HEAD")):
            with self.subTest(method=method, path=path):
                result = front.request(method, path, "", {})
                self.assertProblem(result, 405)
                self.assertEqual(result[1]["Allow"], allow)
        self.assertEqual(front.request("GET", "/healthz", token="")[2], b"ok\n")
        self.assertEqual(self.folders.messages(), [])
        # The token as Basic's password: for a browser.
        c = front.connection()
        import base64
        c.request("GET", "/v1/status", headers={
            "Authorization": "Basic " + base64.b64encode(("x:" + self.folders.token).encode()).decode()})
        self.assertEqual(c.getresponse().status, 200)
        # Refused credentials are logged with the peer, never the token.
        front.stop()
        log = "".join(front.log)
        self.assertIn("from 127.0.0.1", log)
        self.assertNotIn("nope", log)

    def test_queue_full(self):
        front = self.start("--max-queued", "2")
        self.assertAccepted(front.send(message("1")))
        self.assertAccepted(front.send(message("2")))
        status, headers, body = front.send(message("3"), key="later")
        self.assertProblem((status, headers, body), 429)
        self.assertGreaterEqual(int(headers["Retry-After"]), 1)
        self.assertEqual(len(self.folders.messages()), 2)
        # Taken by a sender: room again, and the key was not used up.
        os.remove(os.path.join(self.folders.outbox, self.folders.messages()[0]))
        self.assertTrue(wait_until(lambda: front.send(message("3"), key="later")[0] == 202))
        self.assertEqual(len(self.folders.messages()), 2)

    def test_metrics(self):
        front = self.start()
        front.send(message(), key="m")
        front.send(message(), key="m")
        front.request("GET", "/v1/status", token="bad")
        expected = ('marlek_sms_http_requests_total{code="202"} 2', 'marlek_sms_http_requests_total{code="401"} 1',
                    "marlek_sms_http_messages_accepted_total 1", "marlek_sms_http_replays_total 1",
                    "marlek_sms_http_refused_credentials_total 1")

        def timed(text):  # the requests whose durations are in the histogram
            found = re.search(r'^marlek_sms_http_request_duration_seconds_bucket\{le="\+Inf"\} (\d+)$', text, re.M)
            return int(found.group(1)) if found else 0

        # An answer is counted once it has gone out, which the client may
        # see first: the figures are awaited, not read once. The reads of
        # /metrics are answers too, and count from then on.
        deadline = time.monotonic() + 20
        while True:
            status, headers, body = front.request("GET", "/metrics")
            self.assertEqual(status, 200)
            text = body.decode()
            if (all(line + "\n" in text for line in expected) and timed(text) >= 3) or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        for line in expected:
            self.assertIn(line + "\n", text)
        self.assertGreaterEqual(timed(text), 3)
        # The format as Prometheus reads it.
        from prometheus_client.parser import text_string_to_metric_families
        families = {f.name: f for f in text_string_to_metric_families(text)}
        self.assertEqual(families["marlek_sms_http_request_duration_seconds"].type, "histogram")
        self.assertEqual(families["marlek_sms_http_requests"].type, "counter")


class Lookups(FrontCase):
    def ledger(self, *lines, name="SmsSender.results"):
        with open(os.path.join(self.folders.workdir, name), "a") as f:
            for line in lines:
                f.write("\t".join(line) + "\n")

    def test_states(self):
        front = self.start()
        new = self.assertAccepted(front.send(message()))
        path = "/v1/messages/" + new
        self.assertEqual(json.loads(front.request("GET", path)[2])["state"], "queued")
        # Taken by the sender, sent, waiting for its reply.
        os.remove(os.path.join(self.folders.outbox, new))
        with open(os.path.join(self.folders.workdir, "SmsSender.journal"), "w") as f:
            f.write("S bak/%s\t%s/%s\nM bak/%s\n" % (new, self.folders.outbox, new, new))
        self.assertEqual(json.loads(front.request("GET", path)[2])["state"], "sending")
        self.ledger(("2026-01-01T10:00:00+01:00", "accepted", new, "bak/" + new, "A", "0042"))
        answer = json.loads(front.request("GET", path)[2])
        self.assertEqual(answer, {"id": new, "state": "accepted", "at": "2026-01-01T10:00:00+01:00",
                                  "backup": "bak/" + new, "result": "A", "counter": "0042"})

    def test_rotation_and_restart(self):
        ids = ["20260101T000000.%06dZ_7_0001.sms" % i for i in range(3)]
        self.ledger(("t1", "refused", ids[0], "b0", "R", "1"))
        os.rename(os.path.join(self.folders.workdir, "SmsSender.results"),
                  os.path.join(self.folders.workdir, "SmsSender_2026_1_1_0_0_0_0.results"))
        self.ledger(("t2", "unanswered", ids[1], "b1", "", ""))
        front = self.start()
        connection = front.connection()
        self.assertEqual(json.loads(front.request("GET", "/v1/messages/" + ids[0], connection=connection)[2])["state"],
                         "refused")
        unanswered = json.loads(front.request("GET", "/v1/messages/" + ids[1], connection=connection)[2])
        self.assertEqual((unanswered["state"], unanswered["result"]), ("unanswered", None))
        # Rotated while running, the last line written to the old file.
        self.ledger(("t3", "accepted", ids[1], "b1", "A", "2"))
        os.rename(os.path.join(self.folders.workdir, "SmsSender.results"),
                  os.path.join(self.folders.workdir, "SmsSender_2026_1_2_0_0_0_0.results"))
        self.ledger(("t4", "accepted", ids[2], "b2", "A", "3"))
        for i in (1, 2):
            self.assertTrue(wait_until(lambda: json.loads(
                front.request("GET", "/v1/messages/" + ids[i])[2])["state"] == "accepted"), ids[i])
        # A rotated ledger removed by the operator: its lines are forgotten
        # and the file closed, so its space is given back.
        os.remove(os.path.join(self.folders.workdir, "SmsSender_2026_1_1_0_0_0_0.results"))
        self.assertTrue(wait_until(lambda: front.request("GET", "/v1/messages/" + ids[0])[0] == 404, 30))
        fds = "/proc/%d/fd" % front.process.pid
        self.assertFalse([f for f in os.listdir(fds) if os.readlink(os.path.join(fds, f)).endswith("(deleted)")])
        self.assertEqual(json.loads(front.request("GET", "/v1/messages/" + ids[2])[2])["state"], "accepted")

    def test_status_and_page(self):
        front = self.start()
        self.assertEqual(front.request("GET", "/v1/status")[0], 200)
        new = self.assertAccepted(front.send(message("<script>alert(1)</script> & co")))
        bak = os.path.join(self.folders.workdir, "bak")
        os.makedirs(bak)
        os.rename(os.path.join(self.folders.outbox, new), os.path.join(bak, new))
        self.ledger(("2026-01-01T10:00:00+01:00", "accepted", new, "bak/" + new, "A", "<b>7</b>"))
        now = time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime())
        with open(os.path.join(self.folders.workdir, "SmsSender.status"), "w") as f:
            json.dump({"program": "MarlekSMSSender", "version": "2", "pid": 1, "link": "logged-in", "since": now,
                       "gateway": "gw:1", "counter": "<i>1</i>", "info": "<script>x()</script>", "queued": None,
                       "oldestQueuedSeconds": None, "unanswered": 0,
                       "totals": {"accepted": 0, "refused": 0, "unanswered": 0},
                       "last": {"accepted": None, "refused": None, "unanswered": None}, "written": now}, f)
        status = json.loads(front.request("GET", "/v1/status")[2])
        self.assertEqual((status["running"], status["stale"], status["gateway"]), (False, False, "gw:1"))
        self.assertTrue(wait_until(lambda: "&lt;script&gt;alert(1)" in front.request("GET", "/")[2].decode()))
        page = front.request("GET", "/")[2].decode()
        self.assertNotIn("<script>", page)
        self.assertNotIn("<b>", page)
        self.assertNotIn("<i>", page)
        self.assertIn("&lt;script&gt;x()&lt;/script&gt;", page)
        self.assertIn("&amp; co", page)


class SlowSender(FrontCase):
    def trickle(self, front, head, drip):
        """Seconds until the front closes a connection that sends head, then
        one byte of drip a second."""
        s = socket.create_connection(("127.0.0.1", front.port))
        start = time.monotonic()
        s.sendall(head)
        s.settimeout(1)
        while time.monotonic() - start < 60:
            try:
                if not s.recv(4096):
                    break
            except socket.timeout:
                try:
                    s.send(drip)
                except OSError:
                    break
            except OSError:
                break
        s.close()
        return time.monotonic() - start

    def test_slow_headers_and_body(self):
        front = self.start()
        results = {}
        body_head = ("POST /v1/messages HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                     "Authorization: Bearer %s\r\nContent-Length: 200\r\n\r\n{" % self.folders.token).encode()
        threads = [threading.Thread(target=lambda: results.update(headers=self.trickle(
                       front, b"GET /healthz HTTP/1.1\r\nHost: x\r\nX-Slow: ", b"a"))),
                   threading.Thread(target=lambda: results.update(body=self.trickle(front, body_head, b" ")))]
        for t in threads:
            t.start()
        # Others are served meanwhile.
        time.sleep(1)
        self.assertEqual(front.request("GET", "/healthz", token="")[0], 200)
        for t in threads:
            t.join()
        for phase in ("headers", "body"):
            with self.subTest(phase):
                self.assertGreaterEqual(results[phase], 9)
                self.assertLess(results[phase], 30)
        self.assertEqual(self.folders.everything(), [])


class DiskFull(FrontCase):
    def test_full_disk(self):
        # The outbox on a small tmpfs of a mount namespace of the front's own.
        try:
            subprocess.run(["unshare", "-rm", "true"], check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError):
            self.skipTest("no user and mount namespaces here")
        wrap = ["unshare", "-rm", "sh", "-c", 'mount -t tmpfs -o size=256k tmpfs "$0" && exec "$@"',
                self.folders.outbox]
        front = self.start(wrap=wrap)
        outbox = "/proc/%d/root%s" % (front.process.pid, self.folders.outbox)
        self.assertTrue(wait_until(lambda: os.path.isdir(os.path.join(outbox, ".marlek-sms-http-keys"))))
        filler = os.path.join(outbox, ".filler")
        with open(filler, "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"x" * 4096)
            except OSError:
                pass
        for key in (None, "full"):
            with self.subTest(key=key):
                self.assertProblem(front.send(message(), key=key), 503)
                self.assertEqual([n for n in os.listdir(outbox) if n not in (".filler", ".marlek-sms-http-keys")], [])
                self.assertEqual(os.listdir(os.path.join(outbox, ".marlek-sms-http-keys")), [])
        os.remove(filler)
        new = self.assertAccepted(front.send(message(), key="full"))
        self.assertEqual([n for n in os.listdir(outbox) if not n.startswith(".")], [new])


class TokenFile(unittest.TestCase):
    def test_rights(self):
        folders = Folders()
        self.addCleanup(folders.remove)
        with open(folders.tokens) as f:
            text = f.read()
        self.assertNotIn(folders.token, text)
        self.assertGreaterEqual(len(folders.token), 22)  # at least 128 bits in base64
        again = subprocess.run([SMS_BIN, "token", "add", "alice", "--tokens", folders.tokens], capture_output=True)
        self.assertEqual((again.returncode, again.stdout), (65, b""))
        self.assertEqual(stat.S_IMODE(os.stat(folders.tokens).st_mode) & 0o027, 0)
        for mode, starts in ((0o600, True), (0o640, True), (0o660, False), (0o644, False), (0o602, False)):
            with self.subTest(mode=oct(mode)):
                os.chmod(folders.tokens, mode)
                if starts:
                    front = Front(folders)
                    self.assertEqual(front.request("GET", "/v1/status")[0], 200)
                    self.assertEqual(front.stop(), 0)
                else:
                    run = subprocess.run([HTTP_BIN, "--outbox", folders.outbox, "--tokens", folders.tokens,
                                          "--listen", "127.0.0.1:0"], capture_output=True, text=True, timeout=30)
                    self.assertNotEqual(run.returncode, 0)
                    self.assertIn("refusing to start", run.stderr)

    def test_reload(self):
        folders = Folders()
        self.addCleanup(folders.remove)
        front = Front(folders)
        self.addCleanup(front.stop)
        late = add_token(folders.tokens, "carol")
        self.assertEqual(front.request("GET", "/v1/status", token=late)[0], 401)
        front.process.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: front.request("GET", "/v1/status", token=late)[0] == 200))
        # A file made unsafe meanwhile is not taken; the tokens stay.
        os.chmod(folders.tokens, 0o666)
        front.process.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: any("keeping the tokens" in line for line in front.log)))
        self.assertEqual(front.request("GET", "/v1/status", token=late)[0], 200)

    def test_outbox_from_settings(self):
        # Without --outbox: the one the working directory's settings name,
        # relative to that folder, as the sender reads it.
        folders = Folders()
        self.addCleanup(folders.remove)
        with open(os.path.join(folders.workdir, "SMS_Key_Client.inf"), "wb") as f:
            f.write(b"../outbox/\r\nbak/\r\n127.0.0.1\r\n1\r\nuser\r\nsecret\r\nABCDEFGHIJKLMNOP\r\n")
        front = Front(folders, outbox="")
        self.addCleanup(front.stop)
        status, _, body = front.send(message())
        self.assertEqual(status, 202, body)
        self.assertEqual(folders.messages(), [json.loads(body)["id"]])

    def test_damaged_file(self):
        folders = Folders()
        self.addCleanup(folders.remove)
        with open(folders.tokens, "a") as f:
            f.write("carol not-a-hash\n")
        run = subprocess.run([HTTP_BIN, "--outbox", folders.outbox, "--tokens", folders.tokens,
                              "--listen", "127.0.0.1:0"], capture_output=True, text=True, timeout=30)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn("line 3", run.stderr)


class Shutdown(FrontCase):
    def test_sigterm_lets_a_request_finish(self):
        front = self.start()
        # A request whose body is not complete yet when SIGTERM comes.
        s = socket.create_connection(("127.0.0.1", front.port))
        body = json.dumps(message("last")).encode()
        s.sendall(("POST /v1/messages HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                   "Authorization: Bearer %s\r\nContent-Length: %d\r\n\r\n" % (self.folders.token, len(body))).encode()
                  + body[:5])
        time.sleep(0.5)
        front.process.send_signal(15)
        time.sleep(0.2)
        s.sendall(body[5:])
        answer = s.recv(4096)
        self.assertIn(b" 202 ", answer.split(b"\r\n")[0])
        self.assertEqual(front.stop(), 0)
        self.assertEqual(len(self.folders.messages()), 1)
        self.assertEqual([n for n in self.folders.everything() if n.startswith(".")], [])
        s.close()


if __name__ == "__main__":
    unittest.main()
