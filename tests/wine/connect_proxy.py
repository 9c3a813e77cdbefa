#!/usr/bin/env python3
"""A CONNECT proxy on loopback for the HTTPS tests under Wine: tunnels to loopback addresses only
and writes the first line of every request it is sent to LOG (a tunnel's password stays inside
TLS; a request sent in clear would show here), or a note when a client starts TLS with the proxy
itself.

Usage: connect_proxy.py PORT_FILE LOG [ADDRESS]   (listens on ADDRESS, 127.0.0.1 by default, on a
port the system chooses, written to PORT_FILE)
"""
import os
import socket
import sys
import threading


def relay(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    finally:
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def note(log, line):
    with open(log, "a") as out:
        out.write(line + "\n")


def serve(client, log):
    client.settimeout(10)
    try:
        first = client.recv(1, socket.MSG_PEEK)
    except OSError:
        first = b""
    if first == b"\x16":
        # A TLS handshake meant for the server, sent to the proxy itself instead of a CONNECT
        # request (a client that took the proxy for the server): refused, so nothing passes.
        note(log, "TLS handshake without CONNECT")
        client.close()
        return
    head = b""
    while b"\r\n\r\n" not in head and len(head) < 16384:
        try:
            data = client.recv(4096)
        except OSError:
            data = b""
        if not data:
            client.close()
            return
        head += data
    line = head.split(b"\r\n", 1)[0].decode("latin-1")
    note(log, line)
    method, target = (line.split(" ") + ["", ""])[:2]
    host, _, port = target.rpartition(":")
    if method != "CONNECT" or not host.startswith("127.") or not port.isdigit():
        client.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
        client.close()
        return
    try:
        upstream = socket.create_connection((host, int(port)), timeout=10)
    except OSError:
        client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
        client.close()
        return
    upstream.settimeout(None)
    client.settimeout(None)
    client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
    threading.Thread(target=relay, args=(upstream, client), daemon=True).start()
    relay(client, upstream)


def main():
    port_file, log = sys.argv[1], sys.argv[2]
    listener = socket.socket()
    address = sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1"
    if not address.startswith("127."):
        sys.exit("connect_proxy.py listens on loopback only")
    listener.bind((address, 0))
    listener.listen(16)
    with open(port_file + ".tmp", "w") as out:
        out.write(str(listener.getsockname()[1]))
    os.replace(port_file + ".tmp", port_file)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, log), daemon=True).start()


if __name__ == "__main__":
    main()
