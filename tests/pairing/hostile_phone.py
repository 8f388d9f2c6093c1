#!/usr/bin/env python3
"""A phone as broken or hostile as a test needs: answers every request on 127.0.0.1 with the bytes of REPLY_FILE,
then holds the connection until the client gives up when --hold.
Prints "READY port=N", then each request's head on one line. Ends by itself after 60 s.
  hostile_phone.py REPLY_FILE [--hold]"""
import argparse, signal, socket

p = argparse.ArgumentParser()
p.add_argument("reply")
p.add_argument("--hold", action="store_true")
a = p.parse_args()
reply = open(a.reply, "rb").read()
signal.alarm(60)
server = socket.create_server(("127.0.0.1", 0))
print("READY port=%d" % server.getsockname()[1], flush=True)
while True:
    c, _ = server.accept()
    with c:
        head = b""
        while b"\r\n\r\n" not in head and (chunk := c.recv(4096)):
            head += chunk
        print(head.split(b"\r\n\r\n")[0].decode(errors="replace").replace("\r\n", " | "), flush=True)
        try:
            c.sendall(reply)
            while a.hold and c.recv(4096):
                pass
        except OSError:
            pass
