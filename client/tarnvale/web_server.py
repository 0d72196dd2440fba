"""The exporter's HTTP server: /metrics as prometheus_client serves it, a landing page at /, POST /-/reload, and
TLS and basic auth from the web config. prometheus_client's own server has neither TLS nor auth, hence this one."""

from __future__ import annotations

import gzip
import socket
import ssl
import sys
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Callable, Optional
from urllib.parse import parse_qs, urlparse

from prometheus_client import CollectorRegistry
from prometheus_client.exposition import choose_encoder, gzip_accepted

from .web_config import WebConfigWatcher, authorized

# A client that neither finishes its TLS handshake nor its request within this long is let go.
CONNECTION_TIMEOUT_SECONDS = 30.0

# Prometheus asks for gzip at every scrape. The fastest level compresses 50 targets' megabyte of series in a
# millisecond or two to about 5 % of it; the default, 9, takes twenty times as long for a body a third smaller.
GZIP_LEVEL = 1


class ExporterServer(ThreadingHTTPServer):
    """Serves the registry and the exporter's own pages on one address, with TLS and auth when configured."""
    daemon_threads = True

    def __init__(self, address: tuple[str, int], registry: CollectorRegistry, web: Optional[WebConfigWatcher],
                 landing_page: Callable[[], str], reload: Callable[[], Optional[str]]):
        # The family of the address as given (an IPv6 address needs an IPv6 socket).
        self.address_family = socket.getaddrinfo(*address, type=socket.SOCK_STREAM)[0][0]
        self.registry, self.web, self.landing_page, self.reload = registry, web, landing_page, reload
        super().__init__(address, RequestHandler)

    @property
    def scheme(self) -> str:
        return "https" if self.web is not None and self.web.uses_tls else "http"

    def get_request(self) -> tuple[socket.socket, tuple]:
        """The connection, wrapped for TLS with the certificate as it is now; its handshake is done in the
        request's own thread, so that a slow or wrong client does not hold up the others."""
        connection, client = super().get_request()
        if self.web is not None and self.web.uses_tls:
            connection = self.web.current_tls_context().wrap_socket(connection, server_side=True,
                                                                    do_handshake_on_connect=False)
        return connection, client

    def handle_error(self, request, client_address) -> None:
        """One line per failed connection (a plain HTTP request to the TLS port, a client gone) instead of a
        traceback."""
        failure = sys.exc_info()[1]
        if isinstance(failure, (ssl.SSLError, OSError)):
            print(f"tarnvale export: connection from {client_address[0]} failed: {failure}", file=sys.stderr,
                  flush=True)
        else:
            super().handle_error(request, client_address)


class RequestHandler(BaseHTTPRequestHandler):
    server: ExporterServer
    timeout = CONNECTION_TIMEOUT_SECONDS

    def setup(self) -> None:
        super().setup()
        if isinstance(self.connection, ssl.SSLSocket):
            self.connection.do_handshake()

    def do_GET(self) -> None:
        self._serve("GET")

    def do_HEAD(self) -> None:
        self._serve("HEAD")

    def do_POST(self) -> None:
        self._serve("POST")

    def do_PUT(self) -> None:
        self._serve("PUT")

    def do_DELETE(self) -> None:
        self._serve("DELETE")

    def _serve(self, method: str) -> None:
        if self.server.web is not None and not authorized(self.server.web.current(),
                                                          self.headers.get("Authorization")):
            self._answer(HTTPStatus.UNAUTHORIZED, "Unauthorized\n", [("WWW-Authenticate", "Basic")])
            return
        path = urlparse(self.path).path
        if path == "/-/reload":
            if method != "POST":
                self._answer(HTTPStatus.METHOD_NOT_ALLOWED, "Only POST reloads the config file\n", [("Allow", "POST")])
                return
            problem = self.server.reload()
            if problem is None:
                self._answer(HTTPStatus.OK, "config reloaded\n")
            else:
                self._answer(HTTPStatus.INTERNAL_SERVER_ERROR, f"failed to reload the config: {problem}\n")
        elif path in ("/", "/metrics"):
            if method not in ("GET", "HEAD"):
                self._answer(HTTPStatus.METHOD_NOT_ALLOWED, f"{path} answers GET\n", [("Allow", "GET, HEAD")])
            elif path == "/":
                self._answer(HTTPStatus.OK, self.server.landing_page(), content_type="text/html; charset=utf-8")
            else:
                self._metrics()
        else:
            self._answer(HTTPStatus.NOT_FOUND, "Not found: the exporter serves /, /metrics and /-/reload\n")

    def _metrics(self) -> None:
        """The registry as prometheus_client's own server gives it: the format the Accept header asks for, only the
        families of name[] when given, gzip when accepted."""
        encoder, content_type = choose_encoder(self.headers.get("Accept"))
        registry = self.server.registry
        names = parse_qs(urlparse(self.path).query).get("name[]")
        if names:
            registry = registry.restricted_registry(names)
        body = encoder(registry)
        headers = []
        if gzip_accepted(self.headers.get("Accept-Encoding")):
            body = gzip.compress(body, compresslevel=GZIP_LEVEL)
            headers.append(("Content-Encoding", "gzip"))
        self._send(HTTPStatus.OK, body, content_type, headers)

    def _answer(self, status: HTTPStatus, text: str, headers: Optional[list[tuple[str, str]]] = None,
                content_type: str = "text/plain; charset=utf-8") -> None:
        self._send(status, text.encode(), content_type, headers or [])

    def _send(self, status: HTTPStatus, body: bytes, content_type: str, headers: list[tuple[str, str]]) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def log_message(self, format: str, *args) -> None:
        """Requests are not logged: Prometheus scrapes every few seconds."""
