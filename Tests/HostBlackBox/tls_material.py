"""A throw-away certificate authority and server certificate made with openssl."""

import os
import subprocess
from dataclasses import dataclass

SERVER_NAMES = ("localhost", "name.test")


@dataclass(frozen=True)
class TlsMaterial:
    ca_certificate: str
    server_certificate: str
    server_key: str
    combined: str           # certificate chain followed by the key, in one file
    stranger_certificate: str   # self-signed, not trusted by the CA
    stranger_key: str


def _openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_tls_material(folder, server_names=SERVER_NAMES):
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    _openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
             "-subj", "/CN=Kestrum Test CA",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    _openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr",
             "-subj", "/CN=localhost", cwd=folder)
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "keyUsage=digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectAltName=%s,IP:127.0.0.1\n" % ",".join("DNS:" + n for n in server_names))
    _openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-out", "server.pem", "-days", "2",
             "-extfile", "server.ext", cwd=folder)
    _openssl("req", "-x509", *ec, "-keyout", "stranger.key", "-out", "stranger.pem",
             "-days", "2", "-subj", "/CN=localhost",
             "-addext", "subjectAltName=DNS:localhost,DNS:name.test,IP:127.0.0.1", cwd=folder)

    def path(name):
        return os.path.join(folder, name)

    with open(path("combined.pem"), "w") as out:
        for name in ("server.pem", "server.key"):
            with open(path(name)) as f:
                out.write(f.read())

    return TlsMaterial(path("ca.pem"), path("server.pem"), path("server.key"),
                       path("combined.pem"), path("stranger.pem"), path("stranger.key"))
