#!/usr/bin/env python3
"""A model server on loopback for the real agents: Anthropic's /v1/messages and OpenAI's /v1/responses, streamed.
A prompt holding "mock-run: COMMAND" gets a shell tool call for COMMAND and, once its result is back,
"Done: COMMAND"; Codex's task-title request gets TITLE; any other prompt REPLY. Each request is logged.

Usage: mock_model.py PORT_FILE LOG_FILE (binds 127.0.0.1 on a free port and writes it to PORT_FILE)
"""
import json, os, re, sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

REPLY = "Hi there! The mock model says hello."
TITLE = "Say hi"


def texts(value):
    """Every string inside a JSON value, depth first."""
    if isinstance(value, str):
        yield value
    for v in value.values() if isinstance(value, dict) else value if isinstance(value, list) else []:
        yield from texts(v)


def user_turns(turns):
    return [t for t in turns if not (isinstance(t, dict) and t.get("role") in ("system", "developer"))]


def answer(turns, tool_result_kind):
    """(text, command) for the conversation `turns`: command is set when the model asks to run it."""
    turns = user_turns(turns)
    last = turns[-1] if turns else {}
    parts = [last] + (last.get("content") if isinstance(last.get("content"), list) else [])
    if any(isinstance(p, dict) and p.get("type") == tool_result_kind for p in parts):
        asked = [m.group(1) for t in texts(turns) for m in [re.search(r"mock-run: (.+)", t)] if m]
        return "Done: " + asked[-1].strip(), None
    prompt = "\n".join(texts(last))
    if "Generate a concise, single-line task title" in prompt:
        return TITLE, None
    m = re.search(r"mock-run: (.+)", prompt)
    return (None, m.group(1).strip()) if m else (REPLY, None)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers.get("Content-Length") or 0)))
        turns = body.get("messages") or body.get("input") or []
        with open(LOG, "a") as f:
            f.write(json.dumps({"path": self.path, "last": "\n".join(texts(user_turns(turns)[-1:]))[-160:]}) + "\n")
        events = self.anthropic(body) if "/messages" in self.path else self.openai(turns)
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        for event in events:
            self.wfile.write(f"event: {event['type']}\ndata: {json.dumps(event)}\n\n".encode())
        self.close_connection = True

    def anthropic(self, body):
        text, command = answer(body["messages"], "tool_result")
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
        return [
            {"type": "message_start", "message": message},
            {"type": "content_block_start", "index": 0, "content_block": block},
            {"type": "content_block_delta", "index": 0, "delta": delta},
            {"type": "content_block_stop", "index": 0},
            {"type": "message_delta", "delta": {"stop_reason": stop, "stop_sequence": None}, "usage": usage},
            {"type": "message_stop"},
        ]

    def openai(self, turns):
        text, command = answer(turns, "function_call_output")
        usage = {"input_tokens": 10, "input_tokens_details": {"cached_tokens": 0}, "output_tokens": 5,
                 "output_tokens_details": {"reasoning_tokens": 0}, "total_tokens": 15}
        response = {"id": "resp_mock", "object": "response", "status": "in_progress", "model": "m", "output": []}
        if command:
            args = {"cmd": command, "sandbox_permissions": "require_escalated",
                    "justification": "Run the asked command outside the sandbox?"}
            item = {"type": "function_call", "id": "fc_mock", "call_id": "call_mock%d" % len(turns),
                    "name": "exec_command", "arguments": json.dumps(args), "status": "completed"}
            events = [{"type": "response.output_item.done", "output_index": 0, "item": item}]
        else:
            part = {"type": "output_text", "text": text, "annotations": []}
            item = {"type": "message", "id": "msg_mock", "role": "assistant", "status": "completed", "content": [part]}
            where = {"item_id": "msg_mock", "output_index": 0, "content_index": 0}
            events = [
                {"type": "response.output_item.added", "output_index": 0, "item": dict(item, content=[])},
                {"type": "response.output_text.delta", **where, "delta": text},
                {"type": "response.output_item.done", "output_index": 0, "item": item},
            ]
        return [{"type": "response.created", "response": response}] + events + [
            {"type": "response.completed", "response": dict(response, status="completed", usage=usage)}]


if __name__ == "__main__":
    PORT_FILE, LOG = sys.argv[1], sys.argv[2]
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    with open(PORT_FILE + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(PORT_FILE + ".tmp", PORT_FILE)
    server.serve_forever()
