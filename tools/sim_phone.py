#!/usr/bin/env python3
"""A simulated Glowticker phone for demos and tests (Python 3 standard library only).

Serves the phone's HTTP interface:
  POST /api/pair   {"code": "...", "client": "..."}
                   200 {"token": T, "device": D} for the right code, 403 for a wrong one,
                   429 {"retry_after": N} once --max-attempts wrong codes were tried (for --lock-seconds)
  GET  /api/agent?token=T
                   200 for the issued token, otherwise 401

On start it prints one line on standard output and flushes it, for scripts to wait on:
  READY port=PORT code=CODE token=TOKEN
Then one line per request ("PAIR ok client=…", "PAIR wrong", "PROBE ok", …).

Misbehaving on purpose: --delay S answers every request S seconds late, --garbage answers any connection
with bytes that are not HTTP, --pair-status N [--pair-body B] answers every pairing with that status and
body, --stop-after S exits by itself after S seconds. SIGTERM and SIGINT end it cleanly.

--advertise INSTANCE also publishes the phone over DNS-SD by running avahi-publish as a child process,
which is killed when the phone exits. Only use it inside a network namespace of your own: it multicasts.
"""

import argparse
import ctypes
import json
import os
import secrets
import shutil
import signal
import socket
import socketserver
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MAX_BODY = 64 * 1024
GARBAGE = b"\x00\x01\x02 this is not HTTP \xff\xfe\r\n\r\n"


def log(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Phone:
    """The phone's pairing state, shared by the request threads."""

    def __init__(self, opts):
        self.opts = opts
        self.code = opts.code if opts.code is not None else "%04d" % secrets.randbelow(10000)
        self.token = opts.token if opts.token is not None else secrets.token_hex(16)
        self.lock = threading.Lock()
        self.wrong = 0
        self.locked_until = 0.0

    def try_pair(self, code):
        """Returns (status, body dict)."""
        with self.lock:
            now = time.monotonic()
            if self.locked_until > now:
                return 429, {"retry_after": int(self.locked_until - now + 0.999)}
            if self.locked_until:
                self.locked_until = 0.0
                self.wrong = 0
            if code == self.code:
                self.wrong = 0
                return 200, {"token": self.token, "device": self.opts.device}
            self.wrong += 1
            if self.wrong >= self.opts.max_attempts:
                self.locked_until = now + self.opts.lock_seconds
                return 429, {"retry_after": self.opts.lock_seconds}
            return 403, {"error": "wrong code"}


def make_handler(phone):
    opts = phone.opts

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "SimPhone/1"

        def log_message(self, fmt, *args):  # the one-line-per-request log is ours
            pass

        def answer(self, status, payload):
            body = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
            if opts.delay > 0:
                time.sleep(opts.delay)
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
            self.close_connection = True

        def do_GET(self):
            url = urllib.parse.urlsplit(self.path)
            if url.path != "/api/agent":
                log("GET %s 404" % url.path)
                return self.answer(404, {"error": "not found"})
            tokens = urllib.parse.parse_qs(url.query, keep_blank_values=True).get("token", [])
            if tokens == [phone.token]:
                log("PROBE ok")
                return self.answer(200, {"ok": True, "device": opts.device})
            log("PROBE unauthorized")
            return self.answer(401, {"error": "bad token"})

        def do_POST(self):
            if urllib.parse.urlsplit(self.path).path != "/api/pair":
                log("POST %s 404" % self.path)
                return self.answer(404, {"error": "not found"})
            try:
                length = int(self.headers.get("Content-Length", "0"))
            except ValueError:
                length = -1
            if length < 0 or length > MAX_BODY:
                log("PAIR bad-length")
                return self.answer(413, {"error": "body too large"})
            raw = self.rfile.read(length)
            if opts.pair_status is not None:
                log("PAIR forced %d" % opts.pair_status)
                return self.answer(opts.pair_status, opts.pair_body.encode())
            try:
                req = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                req = None
            if (not isinstance(req, dict) or not isinstance(req.get("code"), str)
                    or not isinstance(req.get("client"), str)):
                log("PAIR bad-request")
                return self.answer(400, {"error": "expected {\"code\": string, \"client\": string}"})
            status, body = phone.try_pair(req["code"])
            word = {200: "ok", 403: "wrong", 429: "locked"}.get(status, str(status))
            log("PAIR %s client=%s code=%s" % (word, json.dumps(req["client"]), json.dumps(req["code"])))
            return self.answer(status, body)

    return Handler


class GarbageHandler(socketserver.BaseRequestHandler):
    delay = 0.0

    def handle(self):
        self.request.settimeout(2)
        try:
            self.request.recv(4096)
            if self.delay > 0:
                time.sleep(self.delay)
            self.request.sendall(GARBAGE)
        except OSError:
            pass
        log("GARBAGE sent")


def server_class(base, bind):
    family = socket.AF_INET6 if ":" in bind else socket.AF_INET

    class Server(base):
        address_family = family
        daemon_threads = True
        allow_reuse_address = True

    return Server


def set_parent_death_signal():
    # Runs in the child between fork and exec: the publisher must not outlive a phone that was killed.
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def start_advertiser(opts, port):
    exe = shutil.which("avahi-publish")
    if exe is None:
        sys.stderr.write("sim_phone: avahi-publish not found; install the avahi-utils package.\n")
        sys.exit(1)
    ws = opts.ws_port if opts.ws_port is not None else port
    cmd = [exe, "-s", opts.advertise, "_glowticker._tcp", str(port),
           "ws=%d" % ws, "http=%d" % port, "v=%s" % opts.version, "device=%s" % opts.device]
    return subprocess.Popen(cmd, stdout=subprocess.DEVNULL, preexec_fn=set_parent_death_signal)


def parse_args(argv):
    p = argparse.ArgumentParser(description="Simulated Glowticker phone (HTTP pairing and probe).")
    p.add_argument("--bind", default="127.0.0.1", help="address to listen on (default 127.0.0.1; ::1 for IPv6)")
    p.add_argument("--port", type=int, default=0, help="port (0 = any free port, printed in the READY line)")
    p.add_argument("--code", help="the 4-digit pairing code (default: random)")
    p.add_argument("--token", help="the token issued on pairing (default: random)")
    p.add_argument("--name", default="Sim phone", help="instance name (used by --advertise when none given)")
    p.add_argument("--device", default="SimPhone", help="device text returned on pairing and in TXT")
    p.add_argument("--max-attempts", type=int, default=5, help="wrong codes before pairing locks (default 5)")
    p.add_argument("--lock-seconds", type=int, default=30, help="how long pairing stays locked (default 30)")
    p.add_argument("--delay", type=float, default=0.0, help="answer every request this many seconds late")
    p.add_argument("--garbage", action="store_true", help="answer every connection with non-HTTP bytes")
    p.add_argument("--pair-status", type=int, help="answer every pairing with this HTTP status")
    p.add_argument("--pair-body", default="", help="body sent with --pair-status")
    p.add_argument("--stop-after", type=float, help="exit by itself after this many seconds")
    p.add_argument("--advertise", metavar="INSTANCE", nargs="?", const="", help="publish over DNS-SD")
    p.add_argument("--ws-port", type=int, help="ws port advertised (default: the HTTP port)")
    p.add_argument("--version", default="1", help="protocol version advertised (TXT v)")
    opts = p.parse_args(argv)
    if opts.code is not None and (len(opts.code) != 4 or not opts.code.isdigit()):
        p.error("--code must be 4 digits")
    if opts.max_attempts < 1:
        p.error("--max-attempts must be at least 1")
    if opts.advertise == "":
        opts.advertise = opts.name
    return opts


def main(argv):
    opts = parse_args(argv)
    phone = Phone(opts)
    if opts.garbage:
        GarbageHandler.delay = opts.delay
        server = server_class(socketserver.ThreadingTCPServer, opts.bind)((opts.bind, opts.port), GarbageHandler)
    else:
        server = server_class(ThreadingHTTPServer, opts.bind)((opts.bind, opts.port), make_handler(phone))
    port = server.server_address[1]

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())

    advertiser = start_advertiser(opts, port) if opts.advertise is not None else None
    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
    serving.start()
    log("READY port=%d code=%s token=%s" % (port, phone.code, phone.token))

    deadline = None if opts.stop_after is None else time.monotonic() + opts.stop_after
    while not stop.is_set():
        if deadline is not None and time.monotonic() >= deadline:
            break
        if advertiser is not None and advertiser.poll() is not None:
            sys.stderr.write("sim_phone: avahi-publish exited with status %d\n" % advertiser.returncode)
            break
        stop.wait(0.1)

    server.shutdown()
    server.server_close()
    if advertiser is not None and advertiser.poll() is None:
        advertiser.terminate()
        try:
            advertiser.wait(2)
        except subprocess.TimeoutExpired:
            advertiser.kill()
            advertiser.wait()
    log("STOPPED")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
