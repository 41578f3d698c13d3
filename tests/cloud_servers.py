"""Local stand-ins for the cloud secret services, on 127.0.0.1, driven by the real SDKs.

- AWS Secrets Manager: moto's threaded server.
- Azure Key Vault: an HTTPS server (self-signed certificate trusted through REQUESTS_CA_BUNDLE)
  answering the vault's challenge flow, plus the App Service managed-identity token endpoint that
  DefaultAzureCredential finds through IDENTITY_ENDPOINT / IDENTITY_HEADER.
- GCP Secret Manager: an HTTP server speaking the REST form of AccessSecretVersion.
"""

from __future__ import annotations

import base64
import datetime
import ipaddress
import json
import os
import socket
import ssl
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse


def closed_port() -> int:
    """A local port with nothing listening on it."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class _JsonHandler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def reply(self, status, body, headers=()):
        data = json.dumps(body).encode()
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        url = urlparse(self.path)
        status, body, headers = self.server.owner.answer(url, self.headers)
        self.reply(status, body, headers)


class _Server:
    def __init__(self, ssl_context=None):
        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), _JsonHandler)
        self.httpd.owner = self
        if ssl_context is not None:
            self.httpd.socket = ssl_context.wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def _self_signed_certificate(directory):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), False)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), True)
        .sign(key, hashes.SHA256())
    )
    cert_path = os.path.join(directory, "vault-cert.pem")
    key_path = os.path.join(directory, "vault-key.pem")
    with open(cert_path, "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(key_path, "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    return cert_path, key_path


class FakeKeyVault(_Server):
    """secrets: vault name -> value (None: a secret without a value); forbidden: names answered 403."""

    def __init__(self, directory):
        self.ca_path, key_path = _self_signed_certificate(directory)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.ca_path, key_path)
        super().__init__(context)
        self.url = f"https://127.0.0.1:{self.port}"
        self.secrets: dict[str, str | None] = {}
        self.forbidden: set[str] = set()
        self.requested: list[str] = []

    def env(self):
        return {
            "REQUESTS_CA_BUNDLE": self.ca_path,
            "IDENTITY_ENDPOINT": self.url + "/msi/token",
            "IDENTITY_HEADER": "local-identity-header",
        }

    def answer(self, url, headers):
        if url.path == "/msi/token":
            resource = parse_qs(url.query)["resource"][0]
            token = {"access_token": "local-token", "expires_on": str(int(time.time()) + 3600),
                     "resource": resource, "token_type": "Bearer"}
            return 200, token, ()
        if headers.get("Authorization") != "Bearer local-token":
            # The SDK accepts a challenge only for a resource whose domain the vault's host ends
            # with; as text, "0.0.1:<port>" is such a domain for "127.0.0.1:<port>".
            challenge = ('Bearer authorization="https://login.microsoftonline.com/00000000-0000-0000-0000-000000000000", '
                         f'resource="https://0.0.1:{self.port}"')
            return 401, {}, [("WWW-Authenticate", challenge)]
        name = url.path.split("/")[2]
        self.requested.append(name)
        if name in self.forbidden:
            return 403, {"error": {"code": "Forbidden", "message": f"Caller is not authorized to get secret {name}."}}, ()
        if name not in self.secrets:
            message = f"A secret with (name/id) {name} was not found in this key vault."
            return 404, {"error": {"code": "SecretNotFound", "message": message}}, ()
        body = {"id": f"{self.url}/secrets/{name}/0123456789abcdef", "attributes": {"enabled": True}}
        if self.secrets[name] is not None:
            body["value"] = self.secrets[name]
        return 200, body, ()


class FakeSecretManager(_Server):
    """payloads: resource name -> bytes; denied: resource names answered 403."""

    def __init__(self):
        super().__init__()
        self.endpoint = f"http://127.0.0.1:{self.port}"
        self.payloads: dict[str, bytes] = {}
        self.denied: set[str] = set()
        self.requested: list[str] = []

    def answer(self, url, headers):
        name = url.path.removeprefix("/v1/").removesuffix(":access")
        self.requested.append(name)
        if name in self.denied:
            error = {"code": 403, "message": f"Permission denied on resource {name}.", "status": "PERMISSION_DENIED"}
            return 403, {"error": error}, ()
        if name not in self.payloads:
            error = {"code": 404, "message": f"Secret [{name}] not found or has no versions.", "status": "NOT_FOUND"}
            return 404, {"error": error}, ()
        data = base64.b64encode(self.payloads[name]).decode()
        return 200, {"name": name, "payload": {"data": data}}, ()
