#!/usr/bin/env python3
"""A model server for the real agents, on loopback: Anthropic's /v1/messages and OpenAI's /v1/responses,
streamed as the agents expect. The script is in the prompt: a prompt holding "mock-run: COMMAND" gets a shell
tool call for COMMAND, and once the tool's result comes back, "Done: COMMAND"; any other prompt gets
REPLY. Codex's task-title request gets TITLE. Every request is logged as one JSON line.

Usage: mock_model.py PORT_FILE LOG_FILE (binds 127.0.0.1 on a free port and writes it to PORT_FILE)
"""
import json
import re
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

REPLY = "Hi there! The mock model says hello."
TITLE = "Say hi"


def texts(value):
    """Every string inside a JSON value, depth first."""
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for v in value.values():
            yield from texts(v)
    elif isinstance(value, list):
        for v in value:
            yield from texts(v)


def user_turns(turns):
    return [t for t in turns if not (isinstance(t, dict) and t.get("role") in ("system", "developer"))]


def answer(turns, tool_result_kinds):
    """(text, command) for the conversation `turns`: command is set when the model asks to run it."""
    turns = user_turns(turns)
    last = turns[-1] if turns else {}
    if any(isinstance(p, dict) and p.get("type") in tool_result_kinds
           for p in ([last] + (last.get("content") if isinstance(last.get("content"), list) else []))):
        asked = [m.group(1) for t in texts(turns) for m in [re.search(r"mock-run: (.+)", t)] if m]
        return "Done: " + (asked[-1].strip() if asked else "the command ran"), None
    prompt = "\n".join(texts(last))
    if "Generate a concise, single-line task title" in prompt:
        return TITLE, None
    m = re.search(r"mock-run: (.+)", prompt)
    return (None, m.group(1).strip()) if m else (REPLY, None)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_json(self, body):
        data = json.dumps(body).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def send_events(self, events):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        for event in events:
            self.wfile.write(f"event: {event['type']}\ndata: {json.dumps(event)}\n\n".encode())
        self.wfile.flush()
        self.close_connection = True

    def do_GET(self):
        self.record({})
        self.send_json({"data": [], "models": []})

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        try:
            body = json.loads(self.rfile.read(length) or b"{}")
        except ValueError:
            body = {}
        self.record(body)
        path = self.path.split("?")[0]
        if path.endswith("/count_tokens"):
            self.send_json({"input_tokens": 10})
        elif path.endswith("/messages"):
            self.anthropic(body)
        elif path.endswith("/responses"):
            self.openai(body)
        else:
            self.send_json({})

    def record(self, body):
        turns = user_turns(body.get("messages") or body.get("input") or [])
        line = {"path": self.path, "from": self.headers.get("originator", ""), "last": "\n".join(texts(turns[-1:]))[-160:]}
        with open(LOG, "a") as f:
            f.write(json.dumps(line, ensure_ascii=False) + "\n")

    def anthropic(self, body):
        text, command = answer(body.get("messages") or [], {"tool_result"})
        if command:
            block = {"type": "tool_use", "id": "toolu_mock1", "name": "Bash", "input": {}}
            delta = {"type": "input_json_delta",
                     "partial_json": json.dumps({"command": command, "description": "Run the asked command"})}
            stop = "tool_use"
        else:
            block, delta, stop = {"type": "text", "text": ""}, {"type": "text_delta", "text": text}, "end_turn"
        usage = {"input_tokens": 10, "output_tokens": 5}
        message = {"id": "msg_mock", "type": "message", "role": "assistant", "model": body.get("model", "m"),
                   "content": [], "stop_reason": None, "stop_sequence": None, "usage": usage}
        if not body.get("stream"):
            whole = dict(block, **({"input": json.loads(delta["partial_json"])} if command else {"text": text}))
            self.send_json(dict(message, content=[whole], stop_reason=stop))
            return
        self.send_events([
            {"type": "message_start", "message": message},
            {"type": "content_block_start", "index": 0, "content_block": block},
            {"type": "content_block_delta", "index": 0, "delta": delta},
            {"type": "content_block_stop", "index": 0},
            {"type": "message_delta", "delta": {"stop_reason": stop, "stop_sequence": None}, "usage": usage},
            {"type": "message_stop"},
        ])

    def openai(self, body):
        turns = body.get("input") or []
        text, command = answer(turns, {"function_call_output"})
        usage = {"input_tokens": 10, "input_tokens_details": {"cached_tokens": 0}, "output_tokens": 5,
                 "output_tokens_details": {"reasoning_tokens": 0}, "total_tokens": 15}
        response = {"id": "resp_mock", "object": "response", "status": "in_progress", "model": "m", "output": []}
        if command:
            args = {"cmd": command, "sandbox_permissions": "require_escalated",
                    "justification": "Run the asked command outside the sandbox?"}
            item = {"type": "function_call", "id": "fc_mock", "call_id": "call_mock%d" % len(turns),
                    "name": "exec_command", "arguments": json.dumps(args), "status": "completed"}
            events = [{"type": "response.output_item.added", "output_index": 0, "item": item},
                      {"type": "response.output_item.done", "output_index": 0, "item": item}]
        else:
            part = {"type": "output_text", "text": text, "annotations": []}
            item = {"type": "message", "id": "msg_mock", "role": "assistant", "status": "completed", "content": [part]}
            where = {"item_id": "msg_mock", "output_index": 0, "content_index": 0}
            events = [
                {"type": "response.output_item.added", "output_index": 0, "item": dict(item, content=[])},
                {"type": "response.content_part.added", **where, "part": dict(part, text="")},
                {"type": "response.output_text.delta", **where, "delta": text},
                {"type": "response.output_text.done", **where, "text": text},
                {"type": "response.output_item.done", "output_index": 0, "item": item},
            ]
        self.send_events([{"type": "response.created", "response": response}] + events + [
            {"type": "response.completed", "response": dict(response, status="completed", usage=usage)}])


if __name__ == "__main__":
    PORT_FILE, LOG = sys.argv[1], sys.argv[2]
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    with open(PORT_FILE + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    import os
    os.replace(PORT_FILE + ".tmp", PORT_FILE)
    server.serve_forever()
