#!/usr/bin/env python3
"""A reference web service for QuellmoorBridge: Python 3's standard library
and Debian's python3-jsonschema, nothing else. Copy it to start your own.

  service.py serve --listen 127.0.0.1:8787 [--rcon 127.0.0.1:27020]
      receives POST /plugin/chat and POST /plugin/heartbeat: checks the bearer
      token, validates the body against contract/*.schema.json, prints it and
      answers 204. A chat line "!ping" is answered with a say line over RCON
      ("pong, <sender>"), sent after the 204 so that the plug-in never waits.
  service.py serve --listen 127.0.0.1:8787 --servers servers.json
      the same for several game servers, each under a path of its own
      (webhookBaseUrl http://host:8787/<name>), with its own token and RCON:
        {"island": {"token": "...", "rcon": "127.0.0.1:27020"},
         "island2": {"token": "...", "rcon": "10.0.0.7:27020", "rconPassword": "..."}}
      A request for /island/plugin/chat must carry island's token; a say line
      answers on island's RCON. Lines are prefixed with the name: [island] chat {...}
  service.py say --rcon 127.0.0.1:27020 [--sender NAME] MESSAGE
      sends one say line and prints the plug-in's answer (exit 1 unless "OK").
  service.py validate chat|heartbeat FILE...
      validates fixtures against the schemas.

Secrets come from the environment: WEBHOOK_TOKEN (the plug-in's token) and
RCON_PASSWORD; --token and --rcon-password override them (a servers file
holds each server's token, and its RCON password unless RCON_PASSWORD is it).

Every request gets an answer, also a malformed one: bodies over MAX_BODY get
413 unread, a missing Content-Length 411, a malformed one, JSON nested too
deep or a number too long for Python 400.

Output, one line each, for scripts and people:
  listening on http://127.0.0.1:8787
  chat {"map":"TheIsland_WP","message":"Hallo","sender":"Thorgar"}
  heartbeat {"map":"TheIsland_WP","playerCount":3,"pluginVersion":"0.1.0"}
  rejected /plugin/chat 401: wrong or missing bearer token
  say "pong, Thorgar" -> OK
"""

import argparse
import hmac
import http.server
import json
import os
import pathlib
import queue
import re
import sys
import threading

import jsonschema

import rcon

DEFAULT_CONTRACT = pathlib.Path(__file__).resolve().parent.parent.parent / "contract"
# A chat body is the message plus about 50 bytes; the plug-in sets no limit
# on the message. Larger bodies are refused unread (413), and the game server
# logs that line as failed: keep this above the longest chat line you expect.
MAX_BODY = 1 << 20
KINDS = ("chat", "heartbeat")
SERVER_NAME = re.compile(r"[A-Za-z0-9_-]{1,64}")


def load_validators(contract):
    validators = {}
    for kind in ("chat", "heartbeat"):
        with open(pathlib.Path(contract) / f"{kind}.schema.json", encoding="utf-8") as f:
            schema = json.load(f)
        jsonschema.Draft202012Validator.check_schema(schema)
        validators[kind] = jsonschema.Draft202012Validator(schema)
    return validators


def violations(validator, body):
    """Each violation as "<where>: <what>", empty when the body is valid."""
    found = []
    for error in sorted(validator.iter_errors(body), key=lambda e: list(e.absolute_path)):
        where = "$" + "".join(f"[{p!r}]" for p in error.absolute_path)
        found.append(f"{where}: {error.message}")
    return found


# print() writes a line and its newline in two calls: two threads printing at
# once (a request's handler and a say worker) would run their lines together.
_OUTPUT = threading.Lock()


def emit(line):
    """Prints one whole line, from any thread."""
    with _OUTPUT:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def host_port(text):
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    return host, int(port)


class SayWorker:
    """Sends say lines one after the other on a thread of its own, so that no
    request of the plug-in waits for RCON. At most 100 wait; more are dropped.
    A line that fails, for whatever reason, is reported and the next one goes
    out as usual."""

    def __init__(self, address, password, label=""):
        self._address = address
        self._password = password
        self._label = label
        self._queue = queue.Queue(maxsize=100)
        threading.Thread(target=self._run, daemon=True).start()

    def submit(self, sender, message):
        try:
            self._queue.put_nowait((sender, message))
        except queue.Full:
            emit(f"{self._label}say {json.dumps(message, ensure_ascii=False)} dropped: "
                 "too many waiting")

    def _run(self):
        while True:
            sender, message = self._queue.get()
            try:
                reply = rcon.say(*self._address, self._password, sender, message)
            except Exception as e:  # noqa: BLE001 - one failed line must not end the worker
                reply = f"failed: {type(e).__name__}: {e}"
            emit(f"{self._label}say {json.dumps(message, ensure_ascii=False)} -> {reply}")


class GameServer:
    """One game server the service hears from: its token, and the worker
    that sends its say lines (none without RCON)."""

    def __init__(self, name, token, say_worker):
        self.label = f"[{name}] " if name else ""
        self.expected = ("Bearer " + token).encode("utf-8")
        self.say_worker = say_worker


def route(path, servers):
    """(server, kind) for "/<name>/plugin/<kind>" ("/plugin/<kind>" with one
    server), or None."""
    prefix, _, kind = path.rpartition("/plugin/")
    if kind not in KINDS:
        return None
    server = servers.get(prefix.removeprefix("/")) if prefix.count("/") <= 1 else None
    return (server, kind) if server else None


def make_handler(servers, validators):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        timeout = 10  # a client that stalls mid-request is dropped

        def do_POST(self):
            try:
                self.receive()
            except Exception as e:  # noqa: BLE001 - every request gets an answer
                self.refuse(500, f"{type(e).__name__}: {e}")

        def receive(self):
            found = route(self.path, servers)
            if found is None:
                return self.refuse(404, "no such path")
            server, kind = found
            # The plug-in sends the token exactly as configured, as UTF-8 bytes;
            # http.server hands header values over decoded as Latin-1, which
            # gives those bytes back unchanged. Compared in constant time.
            given = self.headers.get_all("Authorization") or []
            if len(given) != 1 or not hmac.compare_digest(given[0].encode("latin-1"),
                                                          server.expected):
                return self.refuse(401, "wrong or missing bearer token", server)
            if self.headers.get("Content-Type", "").split(";")[0].strip() != "application/json":
                return self.refuse(415, "not application/json", server)
            if "Transfer-Encoding" in self.headers:
                return self.refuse(411, "chunked bodies are not accepted", server)
            lengths = self.headers.get_all("Content-Length") or []
            if not lengths:
                return self.refuse(411, "no Content-Length", server)
            # Digits 0-9 only: str.isdigit() also takes "²", which int() refuses.
            if len(lengths) != 1 or not re.fullmatch(r"[0-9]{1,19}", lengths[0].strip()):
                return self.refuse(400, "malformed Content-Length", server)
            length = int(lengths[0])
            if length > MAX_BODY:
                return self.refuse(413, f"body over {MAX_BODY} bytes", server)
            raw = self.rfile.read(length)
            try:
                body = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError, RecursionError) as e:
                # ValueError also covers integers longer than Python converts
                # (4,300 digits); RecursionError, arrays nested too deep.
                return self.refuse(400, f"not JSON: {type(e).__name__}: {str(e)[:200]}", server)
            problems = violations(validators[kind], body)
            if problems:
                return self.refuse(400, "; ".join(problems)[:2000], server)
            # Answer first, with no body: the plug-in's time limit is 5 s,
            # and it reads nothing from the answer.
            self.send_response(204)
            self.end_headers()
            emit(f"{server.label}{kind} {json.dumps(body, ensure_ascii=False, separators=(',', ':'))}")
            if kind == "chat" and body["message"].strip() == "!ping" and server.say_worker:
                server.say_worker.submit("Dienst", f"pong, {body['sender']}")

        def refuse(self, status, reason, server=None):
            label = server.label if server else ""
            emit(f"{label}rejected {self.path} {status}: {reason}")
            text = (reason + "\n").encode("utf-8", "replace")
            self.send_response(status)
            self.send_header("Content-Type", "text/plain; charset=utf-8")
            self.send_header("Content-Length", str(len(text)))
            # The body may be unread: the connection cannot carry another request.
            self.send_header("Connection", "close")
            self.close_connection = True
            self.end_headers()
            self.wfile.write(text)

        def log_message(self, *_):
            pass  # every request is reported by the lines above

    return Handler


def load_servers(args):
    """{path name: GameServer}; the name "" (the paths /plugin/...) for one server."""
    if not args.servers:
        if not args.token:
            sys.exit("service: no token (set WEBHOOK_TOKEN or pass --token)")
        worker = SayWorker(args.rcon, args.rcon_password) if args.rcon else None
        return {"": GameServer("", args.token, worker)}
    try:
        with open(args.servers, encoding="utf-8") as f:
            entries = json.load(f)
        servers = {}
        for name, entry in entries.items():
            if not SERVER_NAME.fullmatch(name):
                raise ValueError(f"server name {name!r}: letters, digits, - and _ only")
            if not isinstance(entry.get("token"), str) or not entry["token"]:
                raise ValueError(f"server {name!r} has no token")
            worker = None
            if entry.get("rcon"):
                password = entry.get("rconPassword", args.rcon_password)
                worker = SayWorker(host_port(entry["rcon"]), password, f"[{name}] ")
            servers[name] = GameServer(name, entry["token"], worker)
    except (OSError, ValueError, AttributeError, argparse.ArgumentTypeError) as e:
        sys.exit(f"service: --servers {args.servers}: {e}")
    if not servers:
        sys.exit(f"service: --servers {args.servers} names no server")
    return servers


def serve(args):
    servers = load_servers(args)
    validators = load_validators(args.contract)
    server = http.server.ThreadingHTTPServer(args.listen, make_handler(servers, validators))
    server.daemon_threads = True
    host, port = server.server_address[:2]
    emit(f"listening on http://{host}:{port}")
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


def say_once(args):
    try:
        reply = rcon.say(*args.rcon, args.rcon_password, args.sender, args.message)
    except (OSError, rcon.RconError) as e:
        sys.exit(f"service: say failed: {e}")
    print(reply)
    return 0 if reply == "OK" else 1


def validate(args):
    validator = load_validators(args.contract)[args.kind]
    status = 0
    for path in args.files:
        try:
            with open(path, encoding="utf-8") as f:
                problems = violations(validator, json.load(f))
        except (OSError, ValueError) as e:
            problems = [f"cannot read: {e}"]
        for problem in problems:
            print(f"{path}: {problem}")
        if problems:
            status = 1
        else:
            print(f"{path}: valid")
    return status


def main():
    parser = argparse.ArgumentParser(description="QuellmoorBridge reference web service")
    parser.add_argument("--contract", default=DEFAULT_CONTRACT,
                        help="folder with chat.schema.json and heartbeat.schema.json")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("serve", help="receive the plug-in's requests")
    p.add_argument("--listen", type=host_port, default=("127.0.0.1", 8787))
    p.add_argument("--token", default=os.environ.get("WEBHOOK_TOKEN", ""))
    p.add_argument("--rcon", type=host_port, help="game server RCON HOST:PORT for say lines")
    p.add_argument("--rcon-password", default=os.environ.get("RCON_PASSWORD", ""))
    p.add_argument("--servers", help="JSON file: several game servers, a path, token and "
                                      "RCON each (see the top of this file)")
    p = sub.add_parser("say", help="send one say line over RCON")
    p.add_argument("--rcon", type=host_port, required=True)
    p.add_argument("--rcon-password", default=os.environ.get("RCON_PASSWORD", ""))
    p.add_argument("--sender", default="Server")
    p.add_argument("message")
    p = sub.add_parser("validate", help="validate JSON fixtures against a schema")
    p.add_argument("kind", choices=("chat", "heartbeat"))
    p.add_argument("files", nargs="+")
    args = parser.parse_args()
    sys.stdout.reconfigure(encoding="utf-8", errors="backslashreplace")
    return {"serve": serve, "say": say_once, "validate": validate}[args.command](args) or 0


if __name__ == "__main__":
    sys.exit(main())
