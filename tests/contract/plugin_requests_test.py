"""The contract against what the built plug-in really does, in the dev server:

- every body it sends for the chat and heartbeat cases below validates
  against its schema and is compact JSON with sorted keys and raw UTF-8;
- the curl commands in contract/README.md send what the plug-in sends (request
  line, the plug-in's headers, the body's bytes), for every one of those bodies;
- config.schema.json turns away every config.json that the plug-in reports
  as unreadable."""

import json
import re
import shlex
import subprocess
import unittest

from harness import CONTRACT, DevServer, RawReceiver, compact, load_json, validator

TOKEN = "tok en-1"  # a blank inside travels verbatim
LONG = "Lang äöü 🦖 \"x\" \\ " * 200  # about 4 KB of quotes, backslashes, umlauts, emoji


def console_text(text):
    """A chat text as the dev server's console reads it (backslash escapes)."""
    return text.replace("\\", "\\\\").replace("\n", "\\n").replace("\t", "\\t")


def readme_curl_commands():
    """The curl command lines of contract/README.md's shell blocks."""
    with open(CONTRACT / "README.md", encoding="utf-8") as f:
        text = f.read()
    commands = []
    for block in re.findall(r"```sh\n(.*?)```", text, re.S):
        joined = block.replace("\\\n", " ")
        commands += [line.strip() for line in joined.splitlines() if line.startswith("curl ")]
    return commands


def with_body(command, body):
    """The README's command with its single-quoted body replaced by `body`."""
    replaced, count = re.subn(r"--data-binary '[^']*'",
                              lambda _: "--data-binary " + shlex.quote(body.decode()), command)
    assert count == 1, command
    return replaced


def what_the_plugin_chose(request):
    """Request line, the headers the plug-in sets and the body: the HTTP
    client's own headers (Host, User-Agent, Accept...) belong to the host's
    client, which is not curl's on any host."""
    headers = sorted((key.lower(), value) for key, value in request.headers
                     if key.lower() in ("authorization", "content-type", "content-length"))
    return (request.method, request.path, headers, request.body)


class PluginRequests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.receiver = RawReceiver()
        cls.config = {"webhookBaseUrl": cls.receiver.base_url, "token": TOKEN,
                      "map": "TheIsland_WP", "serverVersion": "1.0"}
        cls.server = DevServer(cls.config)
        cls.sent = []  # (path, request) in the order the cases ran
        try:
            cls.drive()
        except BaseException:
            cls.server.stop()
            cls.receiver.close()
            raise

    @classmethod
    def tearDownClass(cls):
        code = cls.server.stop()
        cls.receiver.close()
        if code != 0:
            raise AssertionError(f"the dev server ended with exit code {code}")

    @classmethod
    def await_request(cls, path):
        request = cls.receiver.wait_for(len(cls.sent) + 1)[-1]
        assert request.path == path, (request.path, path)
        cls.sent.append((path, request))
        return json.loads(request.body)

    @classmethod
    def heartbeat(cls, config=None):
        """A fresh load of the plug-in reports on its first tick."""
        cls.server.reload(config)
        cls.server.console("tick")
        return cls.await_request("/plugin/heartbeat")

    @classmethod
    def chat(cls, player, text):
        cls.server.console(f"chat {player} {console_text(text)}", f"OK chat {player}")
        return cls.await_request("/plugin/chat")

    @classmethod
    def drive(cls):
        s = cls.server
        cls.results = {}
        s.console("tick")
        cls.results["no players"] = cls.await_request("/plugin/heartbeat")
        s.console("join Anna Thorgar")
        s.console("join Bert")
        s.console("join --no-state ghost")
        cls.results["readme chat"] = cls.chat("Anna", "Hallo zusammen")
        cls.results["readme heartbeat"] = cls.heartbeat()
        s.console("join Jürgen")
        s.console('join Kai "Björn der Große 🦖"')
        cls.results["umlauts"] = cls.chat("Jürgen", "Grüße aus Köln, schönen Tag")
        cls.results["emoji"] = cls.chat("Kai", "🦖😀 gg 👍🏽")
        cls.results["fallback name"] = cls.chat("ghost", "   ")
        cls.results["quotes"] = cls.chat("Bert", 'Er sagte "C:\\Spiele\\Quellmoor" und \\"weg\\"')
        cls.results["controls"] = cls.chat("Bert", "Zeile\nzwei\tTab")
        cls.results["long line"] = cls.chat("Anna", LONG)
        s.console("leave Bert")
        cls.results["several players"] = cls.heartbeat()
        cls.results["no server version"] = cls.heartbeat(dict(cls.config, map="", serverVersion=""))
        cls.results["empty map"] = cls.chat("Anna", "leere Karte")
        s.console("ready 0")
        cls.results["not ready"] = cls.heartbeat()
        s.console("ready 1")

    def test_the_cases_happened(self):
        r = self.results
        self.assertEqual(r["no players"]["playerCount"], 0)
        self.assertEqual(r["readme heartbeat"]["playerCount"], 3)
        self.assertEqual(r["several players"]["playerCount"], 5)  # Bert has left: still counted
        self.assertEqual(r["several players"]["serverVersion"], "1.0")
        self.assertNotIn("serverVersion", r["no server version"])
        self.assertNotIn("playerCount", r["not ready"])
        self.assertEqual(r["umlauts"]["sender"], "Jürgen")
        self.assertEqual(r["emoji"]["sender"], "Björn der Große 🦖")
        self.assertEqual(r["emoji"]["message"], "🦖😀 gg 👍🏽")
        self.assertEqual(r["fallback name"], {"map": "TheIsland_WP", "message": "   ",
                                              "sender": "Unbekannt"})
        self.assertEqual(r["quotes"]["message"], 'Er sagte "C:\\Spiele\\Quellmoor" und \\"weg\\"')
        self.assertEqual(r["controls"]["message"], "Zeile\nzwei\tTab")
        self.assertEqual(r["long line"]["message"], LONG)
        self.assertEqual(r["empty map"]["map"], "")

    def test_every_body_validates_and_is_compact_sorted_utf8(self):
        validators = {"/plugin/chat": validator("chat"),
                      "/plugin/heartbeat": validator("heartbeat")}
        self.assertEqual(len(self.sent), 13)
        for path, request in self.sent:
            with self.subTest(body=request.body[:80]):
                body = json.loads(request.body)
                problems = [e.message for e in validators[path].iter_errors(body)]
                self.assertEqual(problems, [])
                self.assertEqual(request.body, compact(body))

    def test_every_request_carries_the_documented_headers(self):
        for path, request in self.sent:
            with self.subTest(path=path):
                self.assertEqual(request.method, "POST")
                self.assertEqual(request.header_values("Authorization"), ["Bearer " + TOKEN])
                self.assertEqual(request.header_values("Content-Type"), ["application/json"])

    def test_the_readme_curl_commands_send_what_the_plugin_sends(self):
        commands = readme_curl_commands()
        self.assertEqual(len(commands), 2)
        env = {"BASE_URL": self.receiver.base_url, "TOKEN": TOKEN, "PATH": "/usr/bin:/bin"}
        receiver = self.receiver
        by_path = {}
        for command in commands:
            path = re.search(r'/plugin/\w+', command.rsplit(" ", 1)[1]).group(0)
            by_path[path] = command
        # As written: the README's own bodies are the plug-in's README cases.
        runs = [(by_path["/plugin/chat"], self.sent[1][1]),
                (by_path["/plugin/heartbeat"], self.sent[2][1])]
        # With each body the plug-in sent put in: the same bytes for all of them.
        runs += [(with_body(by_path[path], request.body), request) for path, request in self.sent]
        for command, expected in runs:
            with self.subTest(body=expected.body[:80]):
                before = len(receiver.requests())
                done = subprocess.run(["bash", "-c", command], env=env, capture_output=True,
                                      timeout=20)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(done.stdout, b"204\n")
                got = receiver.wait_for(before + 1)[-1]
                self.assertEqual(what_the_plugin_chose(got), what_the_plugin_chose(expected))


# The plug-in's verdict on a config.json: its one log line when it loads.
LOADED, INCOMPLETE, UNREADABLE = "Konfiguration geladen", "unvollstaendig", "nicht gelesen werden"
URL = "http://127.0.0.1:9"
CONFIGS = [
    # (config.json as written, the plug-in's verdict, holds a key the plug-in ignores)
    (load_json(CONTRACT.parent / "packaging" / "config.example.json"), LOADED, False),
    ({"webhookBaseUrl": URL, "token": "t"}, LOADED, False),
    ({"webhookBaseUrl": URL, "token": " ", "map": "", "serverVersion": "", "enabled": True},
     LOADED, False),
    ({"webhookBaseUrl": URL, "token": "t", "Token": "x"}, LOADED, True),
    ({"webhookBaseUrl": URL, "token": "t", "comment": "for the admin"}, LOADED, True),
    ({"enabled": False}, INCOMPLETE, False),
    ({"webhookBaseUrl": URL, "token": "t", "enabled": False}, INCOMPLETE, False),
    ({}, INCOMPLETE, False),
    ({"webhookBaseUrl": URL, "token": ""}, INCOMPLETE, False),
    ({"webhookBaseUrl": URL}, INCOMPLETE, False),
    ({"webhookBaseUrl": 8787, "token": "t"}, UNREADABLE, False),
    ({"webhookBaseUrl": URL, "token": None}, UNREADABLE, False),
    ({"webhookBaseUrl": URL, "token": 123}, UNREADABLE, False),
    ({"webhookBaseUrl": URL, "token": "t", "map": ["TheIsland_WP"]}, UNREADABLE, False),
    ({"webhookBaseUrl": URL, "token": "t", "serverVersion": 1.0}, UNREADABLE, False),
    ({"webhookBaseUrl": URL, "token": "t", "serverVersion": {}}, UNREADABLE, False),
    ({"webhookBaseUrl": URL, "token": "t", "enabled": "true"}, UNREADABLE, False),
    ({"webhookBaseUrl": URL, "token": "t", "enabled": 1}, UNREADABLE, False),
    ({"webhookBaseUrl": URL, "token": "t", "enabled": None}, UNREADABLE, False),
    ({"enabled": "false"}, UNREADABLE, False),
    ({"webhookBaseUrl": URL, "token": "t\n"}, UNREADABLE, False),
    ({"webhookBaseUrl": URL + "\x7f", "token": "t"}, UNREADABLE, False),
    ({"webhookBaseUrl": URL, "token": "t", "enabled": False, "map": "\t"}, INCOMPLETE, False),
    ([URL, "t"], UNREADABLE, False),
    (None, UNREADABLE, False),
]


class ConfigSchemaAgainstThePlugin(unittest.TestCase):
    def test_the_schema_rejects_what_the_plugin_cannot_read(self):
        server = DevServer()
        v = validator("config")
        try:
            for config, verdict, unknown_key in CONFIGS:
                with self.subTest(config=config):
                    server.write_config(json.dumps(config))
                    server.console("plugins.unload QuellmoorBridge", "plugins.unload")
                    server.console("plugins.load QuellmoorBridge", "[QuellmoorBridge] geladen")
                    line = [l for l in server.lines() if "[QuellmoorBridge] " in l][-2]
                    self.assertIn(verdict, line)
                    accepted = not list(v.iter_errors(config))
                    if verdict == UNREADABLE:
                        self.assertFalse(accepted, "the plug-in cannot read it")
                    elif verdict == INCOMPLETE:
                        # Switched off on purpose is fine; missing url or token is not.
                        switched_off = isinstance(config, dict) and config.get("enabled") is False
                        self.assertEqual(accepted, switched_off)
                    else:
                        self.assertEqual(accepted, not unknown_key)
        finally:
            self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
