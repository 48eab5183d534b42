#!/usr/bin/python3
"""A real FTP server on loopback for tests and benchmarks (pyftpdlib).

Serves one user on 127.0.0.1, passive and active. It binds the port asked for (0: the system
picks one; a port that is taken falls back to 0), prints "PORT <n>" on stdout and serves until
it is killed or, with --exit-with-parent, until the thread that started it ends. With --commands
every command line a client sends is appended to that file as received, password included, so
tests can check what went over the wire.

Usage: ftp_server.py --root DIR --user NAME --password WORD [--port N] [--commands FILE]
                     [--exit-with-parent]
"""
import argparse
import ctypes
import errno
import logging
import os
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.log import config_logging
from pyftpdlib.servers import FTPServer

HOST = "127.0.0.1"


def parse_arguments():
    parser = argparse.ArgumentParser(description="FTP server on 127.0.0.1 for tests")
    parser.add_argument("--root", required=True, help="folder the user sees as /")
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port", type=int, default=0, help="0: the system picks one")
    parser.add_argument("--commands", help="file to append every received command line to")
    parser.add_argument("--exit-with-parent", action="store_true",
                        help="end with the starting thread: a crashed test leaves no server")
    return parser.parse_args()


def exit_with_parent():
    PR_SET_PDEATHSIG = 1
    parent = os.getppid()
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    # The parent may have died before the request took effect.
    if os.getppid() != parent:
        sys.exit(1)


def make_handler(arguments):
    authorizer = DummyAuthorizer()
    authorizer.add_user(arguments.user, arguments.password, arguments.root, perm="elradfmwMT")
    log = open(arguments.commands, "ab", buffering=0) if arguments.commands else None

    class RecordingHandler(FTPHandler):
        def found_terminator(self):
            # The raw bytes before the server decodes them: a test must see exactly what the
            # client sent, not what the server made of it.
            if log is not None:
                log.write(b"".join(self._in_buffer) + b"\n")
            super().found_terminator()

    RecordingHandler.authorizer = authorizer
    RecordingHandler.banner = "Kamvero test server ready."
    # A refused login is answered at once; the default pause would only slow the tests down.
    RecordingHandler.auth_failed_timeout = 0
    return RecordingHandler


def bind_server(handler, port):
    try:
        return FTPServer((HOST, port), handler)
    except OSError as error:
        if port == 0 or error.errno != errno.EADDRINUSE:
            raise
        return FTPServer((HOST, 0), handler)


def main():
    arguments = parse_arguments()
    if arguments.exit_with_parent:
        exit_with_parent()
    config_logging(level=logging.WARNING)
    server = bind_server(make_handler(arguments), arguments.port)
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    sys.exit(main())
