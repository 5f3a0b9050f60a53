"""A small Source RCON client (Python standard library only) and the say line
of QuellmoorBridge on top of it.

    with RconClient("127.0.0.1", 27020, "dev-password") as rcon:
        print(rcon.command("listplayers"))
    say("127.0.0.1", 27020, "dev-password", "Dienst", "Hallo zusammen")   # -> "OK"

A packet on the wire: int32 size (of what follows), int32 id, int32 type, the
body, two NUL bytes; little endian. Log in with type 3 (the answer is type 2
with our id, or id -1 for a wrong password), run a command with type 2 (the
answer is type 0 with the command's id). Every read has a time limit.
"""

import base64
import json
import socket
import struct

AUTH, AUTH_RESPONSE, EXEC, RESPONSE = 3, 2, 2, 0
MAX_PACKET = 4096  # largest size field a game server sends or accepts


class RconError(Exception):
    pass


class RconClient:
    def __init__(self, host, port, password, timeout=5.0):
        self._sock = socket.create_connection((host, port), timeout=timeout)
        self._next_id = 1
        try:
            self._login(password)
        except BaseException:
            self._sock.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        self._sock.close()

    def command(self, text):
        """Runs one command and returns its answer (the first response packet:
        enough for short answers such as those of quellmoorsay)."""
        request_id = self._send(EXEC, text)
        while True:
            packet_id, packet_type, body = self._read()
            if packet_id == request_id and packet_type == RESPONSE:
                return body

    def _login(self, password):
        request_id = self._send(AUTH, password)
        while True:
            packet_id, packet_type, _ = self._read()
            if packet_type != AUTH_RESPONSE:
                continue  # some servers send an empty response first
            if packet_id == -1:
                raise RconError("wrong RCON password")
            if packet_id == request_id:
                return

    def _send(self, packet_type, body):
        request_id = self._next_id
        self._next_id += 1
        data = body.encode("utf-8")
        if len(data) + 10 > MAX_PACKET:
            raise RconError(f"command too long for one packet ({len(data)} bytes)")
        payload = struct.pack("<ii", request_id, packet_type) + data + b"\0\0"
        self._sock.sendall(struct.pack("<i", len(payload)) + payload)
        return request_id

    def _read(self):
        (size,) = struct.unpack("<i", self._exactly(4))
        if size < 10 or size > MAX_PACKET:
            raise RconError(f"malformed packet from the server (size {size})")
        packet = self._exactly(size)
        packet_id, packet_type = struct.unpack("<ii", packet[:8])
        return packet_id, packet_type, packet[8:-2].decode("utf-8", "replace")

    def _exactly(self, count):
        data = b""
        while len(data) < count:
            chunk = self._sock.recv(count - len(data))  # raises socket.timeout when quiet
            if not chunk:
                raise RconError("the server closed the connection")
            data += chunk
        return data


def say_command(sender, message):
    """The RCON command that makes every connected player see `message`."""
    payload = json.dumps({"sender": sender, "message": message}, ensure_ascii=False)
    return "quellmoorsay " + base64.b64encode(payload.encode("utf-8")).decode("ascii")


def say(host, port, password, sender, message, timeout=5.0):
    """Sends one say line; returns the plug-in's answer ("OK" or why not)."""
    with RconClient(host, port, password, timeout) as rcon:
        return rcon.command(say_command(sender, message))
