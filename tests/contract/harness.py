"""What the contract tests share: the repository's paths, the contract's
schemas, the dev server as a child process driven through its console, and a
raw HTTP receiver on 127.0.0.1 that keeps every request byte for byte.

Every wait has a deadline; nothing blocks without one."""

import json
import os
import pathlib
import shutil
import socket
import subprocess
import tempfile
import threading
import time

import jsonschema

REPO = pathlib.Path(__file__).resolve().parents[2]
CONTRACT = REPO / "contract"


def load_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def validator(name):
    """A 2020-12 validator for contract/<name>.schema.json."""
    schema = load_json(CONTRACT / f"{name}.schema.json")
    return jsonschema.Draft202012Validator(schema)


def compact(value):
    """How the plug-in serialises a body: compact, keys sorted, raw UTF-8."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True).encode()


def build_path(variable):
    """A path the build passes in the environment (see tests/CMakeLists.txt)."""
    value = os.environ.get(variable)
    if not value or not os.path.exists(value):
        raise SystemExit(f"{variable} must name a built file (run through ctest)")
    return value


class Request:
    def __init__(self, raw, head, body):
        self.raw = raw  # request line, headers and body exactly as received
        lines = head.decode("latin-1").split("\r\n")
        self.method, self.path, _ = lines[0].split(" ", 2)
        self.headers = [tuple(part.strip() for part in line.split(":", 1)) for line in lines[1:]]
        self.body = body

    def header_values(self, name):
        return [value for key, value in self.headers if key.lower() == name.lower()]


class RawReceiver:
    """Answers every request with `status` and keeps it as received."""

    def __init__(self, status=204):
        self.status = status
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(64)
        self.port = self._sock.getsockname()[1]
        self.base_url = f"http://127.0.0.1:{self.port}"
        self._requests = []
        self._cond = threading.Condition()
        self._closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self._closed = True
        self._sock.close()

    def requests(self):
        with self._cond:
            return list(self._requests)

    def wait_for(self, count, timeout=10.0):
        """The first `count` requests, or AssertionError after `timeout`."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self._requests) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"{len(self._requests)} requests, waited for {count}")
                self._cond.wait(left)
            return list(self._requests[:count])

    def _accept(self):
        while not self._closed:
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        conn.settimeout(20)
        data = b""
        try:
            while True:
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                head, data = data.split(b"\r\n\r\n", 1)
                request = Request(head + b"\r\n\r\n", head, b"")
                length = int((request.header_values("Content-Length") or ["0"])[0])
                while len(data) < length:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                request.body, data = data[:length], data[length:]
                request.raw += request.body
                with self._cond:
                    self._requests.append(request)
                    self._cond.notify_all()
                conn.sendall(f"HTTP/1.1 {self.status} Status\r\nContent-Length: 0\r\n\r\n".encode())
        except OSError:
            return
        finally:
            conn.close()


class Child:
    """A child process whose standard output is read line by line."""

    def __init__(self, args, env=None):
        self._lines = []
        self._cursor = 0
        self._cond = threading.Condition()
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        with self.proc.stdout:
            for raw in self.proc.stdout:
                with self._cond:
                    self._lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                    self._cond.notify_all()
        with self._cond:
            self._lines.append(None)  # end of output
            self._cond.notify_all()

    def lines(self):
        with self._cond:
            return [line for line in self._lines if line is not None]

    def expect(self, needle, timeout=10.0):
        """The next line after the previous match that contains `needle`."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                while self._cursor < len(self._lines):
                    line = self._lines[self._cursor]
                    self._cursor += 1
                    if line is None:
                        raise AssertionError(f"output ended before {needle!r}")
                    if needle in line:
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no line with {needle!r} within {timeout} s")
                self._cond.wait(left)

    def finish(self, timeout=15.0):
        """Waits for the end of the output and returns the exit code."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while None not in self._lines:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"still running after {timeout} s")
                self._cond.wait(left)
        self.proc.stdin.close()
        return self.proc.wait(timeout=max(0.1, deadline - time.monotonic()))

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def stop(self, quit_line=None):
        """Ends the child (with `quit_line`, else SIGTERM) and returns its exit code."""
        if self.proc.poll() is None:
            if quit_line is not None:
                self.send(quit_line)
            else:
                self.proc.terminate()
        try:
            return self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()
        finally:
            if not self.proc.stdin.closed:
                self.proc.stdin.close()


class DevServer(Child):
    """The dev server with the built plug-in in a temporary server root."""

    PASSWORD = "contract-pw"

    def __init__(self, config=None, tick_ms=600000):
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="qb-contract-"))
        self.plugin_dir = self.root / "ArkApi" / "Plugins" / "QuellmoorBridge"
        self.plugin_dir.mkdir(parents=True)
        shutil.copy(build_path("QB_PLUGIN"), self.plugin_dir / "QuellmoorBridge.so")
        if config is not None:
            self.write_config(config)
        super().__init__([build_path("QB_DEVSERVER"), "--root", str(self.root), "--rcon-port",
                          "0", "--rcon-password", self.PASSWORD, "--tick-ms", str(tick_ms)])
        try:
            listening = self.expect("RCON listening on 127.0.0.1:")
            self.rcon_port = int(listening.rsplit(":", 1)[1])
            self.expect("Dev server ready")
        except BaseException:
            self.stop()  # a server that never got ready does not outlive its test
            raise

    def write_config(self, config):
        text = config if isinstance(config, str) else json.dumps(config)
        with open(self.plugin_dir / "config.json", "w", encoding="utf-8") as f:
            f.write(text)

    def console(self, command, answer=None):
        """One console command and its answer ("OK <first word>" unless given)."""
        self.send(command)
        return self.expect(answer or "OK " + command.split(" ", 1)[0])

    def reload(self, config=None):
        """Load the plug-in anew (it re-reads config.json, its heartbeat clock starts over)."""
        if config is not None:
            self.write_config(config)
        self.console("plugins.unload QuellmoorBridge", "plugins.unload")
        self.console("plugins.load QuellmoorBridge", "plugins.load")

    def stop(self):
        code = super().stop("quit")
        shutil.rmtree(self.root, ignore_errors=True)
        return code
