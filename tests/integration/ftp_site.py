"""An FTP site for the relay tests: pyftpdlib serving one directory to one
user with write access. Runs under Debian's python3, which has pyftpdlib.

    ftp_site.py PORT DIRECTORY USER PASSWORD [DROP_AFTER]

With DROP_AFTER (a byte count) the site resets every data connection once
that many bytes of a transfer have passed, in either direction, and answers
the transfer with 426, as a site whose disk or network fails would.
"""
import socket
import struct
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


class DroppingDTPHandler(DTPHandler):
    """A data channel that breaks off after drop_after bytes."""

    drop_after = None

    def send(self, data):
        sent = super().send(data)
        self._drop_when_due(self.tot_bytes_sent)
        return sent

    def handle_read(self):
        super().handle_read()
        self._drop_when_due(self.tot_bytes_received)

    # The base class binds this name to its own handle_read.
    handle_read_event = handle_read

    def _drop_when_due(self, transferred):
        if transferred >= self.drop_after and not getattr(self, "_dropping", False):
            self._dropping = True
            # Outside the send/read in progress, which still uses the channel.
            self.ioloop.call_later(0, self._drop)

    def _drop(self):
        if self._closed:
            return
        # SO_LINGER 0: the close resets the connection.
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self._resp = ("426 Data connection dropped by the site; transfer aborted.", lambda *args: None)
        self.transfer_finished = False
        self.close()


def main():
    port, directory, user, password = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, directory, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    # The tests refuse passwords on purpose: no penalty wait, and the relay
    # (not the site) is what ends the session after the fourth.
    handler.auth_failed_timeout = 0.05
    handler.max_login_attempts = 10
    handler.banner = "test site ready."
    if len(sys.argv) > 5:
        DroppingDTPHandler.drop_after = int(sys.argv[5])
        handler.dtp_handler = DroppingDTPHandler
        handler.use_sendfile = False  # every byte goes through send()
    server = FTPServer(("127.0.0.1", int(port)), handler)
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
