"""An FTP site for the relay tests: pyftpdlib serving one directory to one
user with write access. Runs under Debian's python3, which has pyftpdlib.

    ftp_site.py PORT DIRECTORY USER PASSWORD
"""
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


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
    server = FTPServer(("127.0.0.1", int(port)), handler)
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
