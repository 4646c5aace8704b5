#!/usr/bin/python3
# SMTP server peer of the e-mail tests (python3-aiosmtpd): stores every
# message it accepts as <folder>/<n>.eml and answers 550 to MAIL FROM of a
# sender that contains "reject".
#
# smtp_server.py [HOST:]PORT FOLDER [CERT KEY USER PASSWORD]   (HOST 127.0.0.1 when not given)
# With a certificate, STARTTLS is required and AUTH LOGIN with USER/PASSWORD
# (only over TLS). Prints "ready" once listening.
import os
import signal
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Store:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_MAIL(self, server, session, envelope, address, options):
        if "reject" in address:
            return "550 sender refused"
        envelope.mail_from = address
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        path = os.path.join(self.folder, "%d.eml" % self.count)
        with open(path + ".tmp", "wb") as f:
            f.write(envelope.original_content)
        os.rename(path + ".tmp", path)
        with open(os.path.join(self.folder, "%d.rcpt" % self.count), "w") as f:
            f.write("\n".join(envelope.rcpt_tos))
        return "250 stored"


def main():
    host, _, port = sys.argv[1].rpartition(":")
    host = host or "127.0.0.1"
    port = int(port)
    folder = sys.argv[2]
    kwargs = {}
    if len(sys.argv) > 6:
        cert, key, user, password = sys.argv[3:7]
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)

        def authenticator(server, session, envelope, mechanism, auth_data):
            ok = (isinstance(auth_data, LoginPassword) and auth_data.login.decode() == user
                  and auth_data.password.decode() == password)
            return AuthResult(success=ok, handled=False)

        kwargs = dict(tls_context=context, require_starttls=True, auth_required=True,
                      auth_require_tls=True, authenticator=authenticator)
    controller = Controller(Store(folder), hostname=host, port=port, data_size_limit=1 << 22,
                            **kwargs)
    controller.start()
    print("ready", flush=True)
    try:
        signal.pause()
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
