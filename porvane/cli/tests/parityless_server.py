#!/usr/bin/env python3
"""A scripted Telnet Com Port Control server whose port cannot do parity.

Listens on 127.0.0.1 (a port the system picks, printed as the first line), agrees to every
option, and answers each Com Port command with its value, except that every parity request is
answered with "none", and queries (value 0) with 9600 8N1. Data sent to it is dropped. Serves
one client after another until killed.
"""
import socket
import struct
import sys

IAC, SE, SB, WILL, WONT, DO, DONT = 255, 240, 250, 251, 252, 253, 254
COM_PORT = 44
SET_BAUD, SET_DATASIZE, SET_PARITY, SET_STOPSIZE = 1, 2, 3, 4
SERVER_OFFSET = 100
PARITY_NONE = 1


def answer(command, value):
    if command == SET_BAUD and value == b"\0\0\0\0":
        value = struct.pack(">I", 9600)
    elif command == SET_PARITY:
        value = bytes([PARITY_NONE])
    elif len(value) == 1 and value[0] == 0:
        value = bytes([8 if command == SET_DATASIZE else 1])
    body = bytes([command + SERVER_OFFSET]) + value
    return bytes([IAC, SB, COM_PORT]) + body.replace(b"\xff", b"\xff\xff") + bytes([IAC, SE])


def serve(client):
    state, verb, sub = "data", 0, bytearray()
    while True:
        chunk = client.recv(4096)
        if not chunk:
            return
        out = bytearray()
        for byte in chunk:
            if state == "data":
                state = "iac" if byte == IAC else "data"
            elif state == "iac":
                if byte in (WILL, WONT, DO, DONT):
                    state, verb = "option", byte
                elif byte == SB:
                    state, sub = "sub", bytearray()
                else:
                    state = "data"
            elif state == "option":
                if verb == WILL:
                    out += bytes([IAC, DO, byte])
                elif verb == DO:
                    out += bytes([IAC, WILL, byte])
                state = "data"
            elif state == "sub":
                if byte == IAC:
                    state = "sub-iac"
                else:
                    sub.append(byte)
            elif state == "sub-iac":
                if byte == SE:
                    if len(sub) >= 2 and sub[0] == COM_PORT:
                        out += answer(sub[1], bytes(sub[2:]))
                    state = "data"
                else:
                    sub.append(byte)
                    state = "sub"
        if out:
            client.sendall(out)


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print(listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        with client:
            try:
                serve(client)
            except OSError:
                pass


if __name__ == "__main__":
    sys.exit(main())
