#!/usr/bin/env python3
"""A reference web service for QuellmoorBridge: Python 3's standard library
and Debian's python3-jsonschema, nothing else. Copy it to start your own.

  service.py serve --listen 127.0.0.1:8787 [--rcon 127.0.0.1:27020]
      receives POST /plugin/chat and POST /plugin/heartbeat: checks the bearer
      token, validates the body against contract/*.schema.json, prints it and
      answers 204. A chat line "!ping" is answered with a say line over RCON
      ("pong, <sender>"), sent after the 204 so that the plug-in never waits.
  service.py say --rcon 127.0.0.1:27020 [--sender NAME] MESSAGE
      sends one say line and prints the plug-in's answer (exit 1 unless "OK").
  service.py validate chat|heartbeat FILE...
      validates fixtures against the schemas.

Secrets come from the environment: WEBHOOK_TOKEN (the plug-in's token) and
RCON_PASSWORD; --token and --rcon-password override them.

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
import sys
import threading

import jsonschema

import rcon

DEFAULT_CONTRACT = pathlib.Path(__file__).resolve().parent.parent.parent / "contract"
MAX_BODY = 1 << 20  # a chat line is far shorter; anything larger is refused
KINDS = {"/plugin/chat": "chat", "/plugin/heartbeat": "heartbeat"}


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


def emit(line):
    print(line, flush=True)


def host_port(text):
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    return host, int(port)


class SayWorker:
    """Sends say lines one after the other on a thread of its own, so that no
    request of the plug-in waits for RCON. At most 100 wait; more are dropped."""

    def __init__(self, address, password):
        self._address = address
        self._password = password
        self._queue = queue.Queue(maxsize=100)
        threading.Thread(target=self._run, daemon=True).start()

    def submit(self, sender, message):
        try:
            self._queue.put_nowait((sender, message))
        except queue.Full:
            emit(f"say {json.dumps(message, ensure_ascii=False)} dropped: too many waiting")

    def _run(self):
        while True:
            sender, message = self._queue.get()
            try:
                reply = rcon.say(*self._address, self._password, sender, message)
            except (OSError, rcon.RconError) as e:
                reply = f"failed: {e}"
            emit(f"say {json.dumps(message, ensure_ascii=False)} -> {reply}")


def make_handler(token, validators, say_worker):
    expected = ("Bearer " + token).encode("utf-8")

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        timeout = 10  # a client that stalls mid-request is dropped

        def do_POST(self):
            kind = KINDS.get(self.path)
            if kind is None:
                return self.refuse(404, "no such path")
            # The plug-in sends the token exactly as configured, as UTF-8 bytes;
            # http.server hands header values over decoded as Latin-1, which
            # gives those bytes back unchanged. Compared in constant time.
            given = self.headers.get_all("Authorization") or []
            if len(given) != 1 or not hmac.compare_digest(given[0].encode("latin-1"), expected):
                return self.refuse(401, "wrong or missing bearer token")
            if self.headers.get("Content-Type", "").split(";")[0].strip() != "application/json":
                return self.refuse(415, "not application/json")
            length = self.headers.get("Content-Length", "")
            if not length.isdigit():
                return self.refuse(411, "no Content-Length")
            if int(length) > MAX_BODY:
                return self.refuse(413, f"body over {MAX_BODY} bytes")
            raw = self.rfile.read(int(length))
            try:
                body = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, json.JSONDecodeError) as e:
                return self.refuse(400, f"not JSON: {e}")
            problems = violations(validators[kind], body)
            if problems:
                return self.refuse(400, "; ".join(problems))
            # Answer first: the plug-in's time limit is 5 s, and it reads
            # nothing from the answer.
            self.send_response(204)
            self.end_headers()
            emit(f"{kind} {json.dumps(body, ensure_ascii=False, separators=(',', ':'))}")
            if kind == "chat" and body["message"].strip() == "!ping" and say_worker:
                say_worker.submit("Dienst", f"pong, {body['sender']}")

        def refuse(self, status, reason):
            emit(f"rejected {self.path} {status}: {reason}")
            text = (reason + "\n").encode("utf-8")
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


def serve(args):
    if not args.token:
        sys.exit("service: no token (set WEBHOOK_TOKEN or pass --token)")
    validators = load_validators(args.contract)
    worker = SayWorker(args.rcon, args.rcon_password) if args.rcon else None
    server = http.server.ThreadingHTTPServer(args.listen, make_handler(args.token, validators,
                                                                       worker))
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
