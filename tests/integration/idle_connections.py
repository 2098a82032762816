# Holds idle connections to the HTTP API for the routing test.
#
#   python3 idle_connections.py hold COUNT SECONDS  opens COUNT connections that send nothing,
#       prints "open" and keeps them for SECONDS
#   python3 idle_connections.py half-head SECONDS   sends half a request head and prints
#       "closed" when the server closes the connection within SECONDS, "open" otherwise
import resource
import socket
import sys
import time

ADDRESS = ("127.0.0.1", 22520)


def hold(count, seconds):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, count + 64)), hard))
    held = []
    for _ in range(count):
        held.append(socket.create_connection(ADDRESS))
    print("open", flush=True)
    time.sleep(seconds)


def half_head(seconds):
    s = socket.create_connection(ADDRESS)
    s.sendall(b"GET /api_check.cgi HTTP/1.1\r\nHost: x\r\n")
    s.settimeout(seconds)
    try:
        print("closed" if s.recv(1) == b"" else "answered")
    except socket.timeout:
        print("open")
    except ConnectionResetError:
        print("closed")


if sys.argv[1] == "hold":
    hold(int(sys.argv[2]), float(sys.argv[3]))
else:
    half_head(float(sys.argv[2]))
