"""The reference service in examples/service/ against the dev server with the
built plug-in: it receives a heartbeat and a chat line, its say lines reach the
players over real RCON, and it turns away requests the plug-in never sends."""

import json
import os
import re
import socket
import sys
import tempfile
import unittest
import urllib.error
import urllib.request

from harness import REPO, Child, DevServer

SERVICE = REPO / "examples" / "service" / "service.py"
TOKEN = "service tok\u00e9n"  # a blank and a non-ASCII byte: compared as bytes


class ReferenceService(unittest.TestCase):
    def setUp(self):
        # No config.json yet: the plug-in waits inactive until the service's
        # address is known.
        self.server = DevServer(tick_ms=50)
        # Cleanups run however the test ends, a failed setUp or tearDown included.
        self.addCleanup(self.server.stop)
        env = dict(os.environ, WEBHOOK_TOKEN=TOKEN, RCON_PASSWORD=DevServer.PASSWORD)
        self.env = env
        self.service = Child([sys.executable, str(SERVICE), "serve", "--listen", "127.0.0.1:0",
                              "--rcon", f"127.0.0.1:{self.server.rcon_port}"], env)
        self.addCleanup(self.service.stop)
        self.url = self.service.expect("listening on http://127.0.0.1:").split(" ")[-1]

    def tearDown(self):
        self.assertEqual(self.server.stop(), 0)

    def run_service(self, *args):
        child = Child([sys.executable, str(SERVICE), *args], self.env)
        self.addCleanup(child.stop)
        return child

    def post(self, path, body, token=TOKEN):
        request = urllib.request.Request(self.url + path, data=body, method="POST", headers={
            # As the plug-in sends it: the token's UTF-8 bytes.
            "Content-Type": "application/json", "Authorization": ("Bearer " + token).encode()})
        try:
            with urllib.request.urlopen(request, timeout=10) as answer:
                return answer.status
        except urllib.error.HTTPError as e:
            return e.code

    def test_receives_both_requests_and_its_say_line_reaches_the_player(self):
        self.server.reload({"webhookBaseUrl": self.url, "token": TOKEN, "map": "TheIsland_WP"})
        self.server.console("tick")
        heartbeat = self.service.expect("heartbeat {")
        self.assertEqual(json.loads(heartbeat.split(" ", 1)[1]),
                         {"map": "TheIsland_WP", "playerCount": 0, "pluginVersion": "0.1.0"})

        self.server.console("join Anna Thorgar")
        self.server.console("join Bert")
        self.server.console("chat Anna !ping", "OK chat Anna")
        chat = self.service.expect("chat {")
        self.assertEqual(chat, 'chat {"map":"TheIsland_WP","message":"!ping","sender":"Thorgar"}')
        # Its answer goes over RCON after the 204, and every player sees it.
        self.server.expect("CHAT to=Anna from=Dienst text=pong, Thorgar")
        self.server.expect("CHAT to=Bert from=Dienst text=pong, Thorgar")
        self.assertEqual(self.service.expect("say "), 'say "pong, Thorgar" -> OK')
        self.server.console("tick")  # delivers the completions: no failure to log
        self.assertFalse([l for l in self.server.lines() if "fehlgeschlagen" in l])
        # The say line is shown, not said by a player: it does not come back.
        self.server.console("chat Anna danke", "OK chat Anna")
        self.assertIn('"message":"danke"', self.service.expect("chat {"))
        chats = [l for l in self.service.lines() if l.startswith("chat ")]
        self.assertEqual(len(chats), 2, chats)

        # The say command on its own: braces and umlauts arrive as sent.
        say = self.run_service("say", "--rcon", f"127.0.0.1:{self.server.rcon_port}",
                               "--sender", "Der Admin", "Grüße {0} }")
        self.assertEqual(say.finish(), 0)
        self.assertEqual(say.lines(), ["OK"])
        self.server.expect("CHAT to=Bert from=Der\\x20Admin text=Grüße {0} }")
        empty = self.run_service("say", "--rcon", f"127.0.0.1:{self.server.rcon_port}", "")
        self.assertEqual(empty.finish(), 1)
        self.assertEqual(empty.lines(), ["Leere Nachricht."])

    def test_a_refusal_is_logged_on_the_game_server_as_documented(self):
        self.server.reload({"webhookBaseUrl": self.url, "token": "falsch", "map": "Insel"})
        self.assertIn("rejected /plugin/heartbeat 401", self.service.expect("rejected "))
        self.server.console("join Anna")
        self.server.console("chat Anna Hallo", "OK chat Anna")
        self.assertIn("rejected /plugin/chat 401", self.service.expect("rejected "))
        documented = re.compile(r"^\d\d/\d\d/\d\d \d\d:\d\d \[QuellmoorBridge\]\[warning\] "
                                r"\[QuellmoorBridge\] POST /plugin/(chat|heartbeat) "
                                r"fehlgeschlagen: HTTP 401 Unauthorized$")
        paths = []
        for _ in range(2):
            line = self.server.expect(" fehlgeschlagen: ")
            self.assertRegex(line, documented)
            paths.append(documented.match(line).group(1))
        self.assertEqual(sorted(paths), ["chat", "heartbeat"])

    def test_a_wrong_token_and_a_body_off_the_contract_are_refused(self):
        good = b'{"map":"","message":"x","sender":"y"}'
        self.assertEqual(self.post("/plugin/chat", good), 204)
        self.service.expect("chat {")
        cases = [
            ("/plugin/chat", good, TOKEN + " ", 401),
            ("/plugin/chat", good, "", 401),
            ("/plugin/chat", b'{"map":"","message":"","sender":"y"}', TOKEN, 400),
            ("/plugin/heartbeat", b'{"map":"","pluginVersion":"0.1.0","uptime":5}', TOKEN, 400),
            ("/plugin/heartbeat", b'{"map":"","pluginVersion":"0.1.0","playerCount":-1}',
             TOKEN, 400),
            ("/plugin/chat", b'{"map":', TOKEN, 400),
            ("/plugin/status", good, TOKEN, 404),
        ]
        for path, body, token, status in cases:
            with self.subTest(body=body, token=token):
                self.assertEqual(self.post(path, body, token), status)
                self.assertIn(f"rejected {path} {status}: ", self.service.expect("rejected "))
        accepted = [l for l in self.service.lines() if l.startswith(("chat ", "heartbeat "))]
        self.assertEqual(len(accepted), 1)

    def raw(self, data):
        """One request as raw bytes; the whole answer, b"" when the connection
        was dropped without one."""
        host, port = self.url.removeprefix("http://").rsplit(":", 1)
        answer = b""
        with socket.create_connection((host, int(port)), timeout=10) as conn:
            try:
                conn.sendall(data)
                while chunk := conn.recv(65536):
                    answer += chunk
            except ConnectionError:
                pass  # a refusal may close before the whole body is sent
        return answer

    def test_every_malformed_request_gets_an_answer(self):
        def request(body, length=None, extra=b""):
            length = str(len(body)).encode() if length is None else length
            return (b"POST /plugin/chat HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                    b"Content-Type: application/json\r\n"
                    b"Authorization: Bearer " + TOKEN.encode() + b"\r\nContent-Length: " + length +
                    b"\r\n" + extra + b"\r\n" + body)
        good = b'{"map":"","message":"x","sender":"y"}'
        cases = [
            # (what, raw request, status)
            ("a Content-Length of superscript two", request(good, "\u00b2".encode()), 400),
            ("a negative Content-Length", request(good, b"-5"), 400),
            ("two Content-Lengths", request(good, b"5\r\nContent-Length: 5"), 400),
            ("JSON nested 200,000 deep", request(b"[" * 200_000 + b"]" * 200_000), 400),
            ("an integer of 5,000 digits",
             request(b'{"map":"","message":"x","sender":"y","n":' + b"9" * 5000 + b"}"), 400),
            ("a body over the limit, unsent", request(b"", str(2 << 20).encode()), 413),
            ("a chunked body", request(b"", b"0", b"Transfer-Encoding: chunked\r\n"), 411),
            ("a well-formed one", request(good), 204),
        ]
        for what, data, status in cases:
            with self.subTest(what):
                answer = self.raw(data)
                self.assertTrue(answer.startswith(f"HTTP/1.1 {status} ".encode()), answer[:200])

    def test_a_say_line_that_fails_does_not_stop_the_next(self):
        # A sender with a lone surrogate: valid JSON, but no UTF-8 text can hold it.
        broken = b'{"map":"","message":"!ping","sender":"\\ud800"}'
        self.assertEqual(self.post("/plugin/chat", broken), 204)
        self.assertRegex(self.service.expect("say "), r'^say "pong, .*" -> failed: ')
        self.server.reload({"webhookBaseUrl": self.url, "token": TOKEN, "map": "Insel"})
        self.server.console("join Anna Thorgar")
        self.server.console("chat Anna !ping", "OK chat Anna")
        self.assertEqual(self.service.expect("say "), 'say "pong, Thorgar" -> OK')
        self.server.expect("CHAT to=Anna from=Dienst text=pong, Thorgar")

    def test_validate_reports_each_violation_of_a_fixture(self):
        with tempfile.TemporaryDirectory() as folder:
            good = os.path.join(folder, "good.json")
            bad = os.path.join(folder, "bad.json")
            with open(good, "w") as f:
                json.dump({"map": "", "playerCount": 2, "pluginVersion": "0.1.0"}, f)
            with open(bad, "w") as f:
                json.dump({"map": 1, "playerCount": -1, "pluginVersion": "0.1.0"}, f)
            run = self.run_service("validate", "heartbeat", good, bad)
            self.assertEqual(run.finish(), 1)
            self.assertEqual(run.lines(), [f"{good}: valid",
                                           f"{bad}: $['map']: 1 is not of type 'string'",
                                           f"{bad}: $['playerCount']: -1 is less than the "
                                           "minimum of 0"])


# The service's two kinds of thread print at once: a request's handler (its
# "chat" lines) and a say worker (its "say" lines, over a stand-in for RCON
# that answers at once). In a process of its own, so that standard output is a
# pipe as in production. The last say line, "end", comes after every other
# line; then the child waits for its end.
WHOLE_LINES_CHILD = r"""
import sys, threading
sys.path.insert(0, sys.argv[1])
import service
service.rcon.say = lambda host, port, password, sender, message: "OK"
count = int(sys.argv[2])
worker = service.SayWorker(("127.0.0.1", 1), "pw")
def handler():
    for i in range(count):
        service.emit("chat " + "c" * 200 + " " + str(i))
thread = threading.Thread(target=handler)
thread.start()
for i in range(count):
    worker._queue.put(("Dienst", "s" * 200 + " " + str(i)), timeout=30)
thread.join()
worker._queue.put(("Dienst", "end"), timeout=30)  # submit() would drop it while 100 wait
sys.stdin.read()
"""


class WholeLines(unittest.TestCase):
    COUNT = 2000

    def test_a_handler_and_a_say_worker_printing_at_once_keep_their_lines_whole(self):
        child = Child([sys.executable, "-c", WHOLE_LINES_CHILD, str(SERVICE.parent),
                       str(self.COUNT)], dict(os.environ))
        self.addCleanup(child.stop)
        child.expect('say "end" -> OK', timeout=60)
        chat = re.compile(r"chat c{200} \d+")
        say = re.compile(r'say "s{200} \d+" -> OK')
        lines = child.lines()[:-1]
        self.assertEqual([l for l in lines if not (chat.fullmatch(l) or say.fullmatch(l))][:3], [])
        self.assertEqual(len(lines), 2 * self.COUNT)


class SeveralServers(unittest.TestCase):
    """Two dev servers on the same map, one reference service: a path and a
    token each, and say lines that go back to the server the line came from."""

    TOKENS = {"island": "token one", "island2": "token two"}

    def setUp(self):
        self.servers = {}
        for name in self.TOKENS:
            server = DevServer(tick_ms=50)
            self.addCleanup(lambda s=server: self.assertEqual(s.stop(), 0))
            self.servers[name] = server
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        path = os.path.join(folder.name, "servers.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump({name: {"token": token, "rcon": f"127.0.0.1:{self.servers[name].rcon_port}",
                              "rconPassword": DevServer.PASSWORD}
                       for name, token in self.TOKENS.items()}, f)
        self.service = Child([sys.executable, str(SERVICE), "serve", "--listen", "127.0.0.1:0",
                              "--servers", path], dict(os.environ))
        self.addCleanup(self.service.stop)
        self.url = self.service.expect("listening on http://127.0.0.1:").split(" ")[-1]

    def test_each_server_has_its_path_token_and_say_lines(self):
        for name, server in self.servers.items():
            server.reload({"webhookBaseUrl": f"{self.url}/{name}", "token": self.TOKENS[name],
                           "map": "TheIsland_WP"})
            self.assertEqual(self.service.expect(f"[{name}] heartbeat {{")[len(name) + 3:],
                             'heartbeat {"map":"TheIsland_WP","playerCount":0,'
                             '"pluginVersion":"0.1.0"}')
        island, island2 = self.servers["island"], self.servers["island2"]
        island.console("join Anna Thorgar")
        island2.console("join Bert Borin")
        island2.console("chat Bert !ping", "OK chat Bert")
        self.assertEqual(self.service.expect("[island2] chat {"),
                         '[island2] chat {"map":"TheIsland_WP","message":"!ping","sender":"Borin"}')
        island2.expect("CHAT to=Bert from=Dienst text=pong, Borin")
        self.assertEqual(self.service.expect("say "), '[island2] say "pong, Borin" -> OK')
        # Only island2's players saw it.
        island.console("chat Anna danke", "OK chat Anna")
        self.service.expect("[island] chat {")
        self.assertFalse([l for l in island.lines() if "from=Dienst" in l])

        # One server's token does not speak for the other; a path that names
        # no server is unknown.
        for path, token, status in (("/island/plugin/chat", "token two", 401),
                                    ("/island2/plugin/chat", "token two", 204),
                                    ("/plugin/chat", "token one", 404),
                                    ("/island3/plugin/chat", "token one", 404)):
            with self.subTest(path=path, token=token):
                request = urllib.request.Request(
                    self.url + path, data=b'{"map":"","message":"x","sender":"y"}', method="POST",
                    headers={"Content-Type": "application/json", "Authorization": "Bearer " + token})
                try:
                    with urllib.request.urlopen(request, timeout=10) as answer:
                        got = answer.status
                except urllib.error.HTTPError as e:
                    got = e.code
                self.assertEqual(got, status)


if __name__ == "__main__":
    unittest.main(verbosity=2)
