"""`--web.config.file`: TLS and basic auth in the format of Prometheus' exporter toolkit, which operators already
write for their other exporters, read again at each request as the toolkit does so that a changed password or
certificate takes effect without a restart."""

from __future__ import annotations

import base64
import binascii
import os
import re
import ssl
import sys
import threading
from dataclasses import dataclass, field
from typing import Callable, Optional

import bcrypt
import yaml

from .config_text import read_config_text

TLS_VERSIONS = {"TLS12": ssl.TLSVersion.TLSv1_2, "TLS13": ssl.TLSVersion.TLSv1_3}
TLS_KEYS = ("cert_file", "key_file", "min_version")
# The toolkit's other settings, which this exporter does not offer: refused by name rather than ignored.
TLS_KEYS_NOT_OFFERED = ("cert", "key", "client_auth_type", "client_ca_file", "client_allowed_sans", "max_version",
                        "cipher_suites", "curve_preferences", "prefer_server_cipher_suites")
TOP_KEYS = ("tls_server_config", "basic_auth_users")
TOP_KEYS_NOT_OFFERED = ("http_server_config", "rate_limit")
BCRYPT_HASH = re.compile(rb"\$2[aby]\$\d\d\$[./A-Za-z0-9]{53}")
# Checked against when the user is unknown, so that the answer takes as long as for a wrong password.
UNKNOWN_USER_HASH = bcrypt.hashpw(b"", bcrypt.gensalt(rounds=10))


class WebConfigError(ValueError):
    """The web config file cannot be read or is not valid; the message says what and where."""


@dataclass(frozen=True)
class TlsConfig:
    cert_file: str
    key_file: str
    min_version: ssl.TLSVersion = ssl.TLSVersion.TLSv1_2


@dataclass(frozen=True)
class WebConfig:
    tls: Optional[TlsConfig] = None
    users: dict[str, bytes] = field(default_factory=dict)  # name -> bcrypt hash


def parse_web_config(text: str, base_directory: str = ".") -> WebConfig:
    """The settings of a web config file's text; relative file names are taken from `base_directory` (the file's
    own, as the toolkit does)."""
    try:
        document = yaml.safe_load(text)
    except yaml.YAMLError as problem:
        raise WebConfigError(f"not valid YAML: {problem}") from None
    if document is None:
        return WebConfig()
    if not isinstance(document, dict):
        raise WebConfigError(f"the file must be a mapping with {' and/or '.join(TOP_KEYS)}")
    _refuse_unknown(document, TOP_KEYS, TOP_KEYS_NOT_OFFERED, "at the top")
    tls = _parse_tls(document["tls_server_config"], base_directory) if document.get("tls_server_config") else None
    users = _parse_users(document.get("basic_auth_users") or {})
    return WebConfig(tls, users)


def _refuse_unknown(mapping: dict, known: tuple[str, ...], not_offered: tuple[str, ...], where: str) -> None:
    for key in mapping:
        if key in not_offered:
            raise WebConfigError(f"{key!r} {where}: not offered by tarnvale export (it takes {', '.join(known)})")
        if key not in known:
            raise WebConfigError(f"unknown key {key!r} {where} (known: {', '.join(known)})")


def _parse_tls(tls: object, base_directory: str) -> TlsConfig:
    if not isinstance(tls, dict):
        raise WebConfigError("`tls_server_config` must be a mapping with cert_file and key_file")
    _refuse_unknown(tls, TLS_KEYS, TLS_KEYS_NOT_OFFERED, "in tls_server_config")
    files = []
    for key in ("cert_file", "key_file"):
        name = tls.get(key)
        if not isinstance(name, str) or not name:
            raise WebConfigError(f"tls_server_config needs {key} (a file name)")
        files.append(os.path.join(base_directory, name))
    version = tls.get("min_version", "TLS12")
    if version not in TLS_VERSIONS:
        raise WebConfigError(f"tls_server_config: min_version {version!r} is not offered (TLS12 or TLS13)")
    return TlsConfig(files[0], files[1], TLS_VERSIONS[version])


def _parse_users(users: object) -> dict[str, bytes]:
    if not isinstance(users, dict):
        raise WebConfigError("`basic_auth_users` must map user names to bcrypt hashes")
    hashes = {}
    for name, hashed in users.items():
        if not isinstance(name, str) or not name or ":" in name:
            raise WebConfigError(f"basic_auth_users: {name!r} is not a user name (a string without ':')")
        if not isinstance(hashed, str) or not BCRYPT_HASH.fullmatch(hashed.encode()):
            raise WebConfigError(f"basic_auth_users: the password of {name!r} is not a bcrypt hash "
                                 f"(such as $2b$10$ and 53 characters)")
        hashes[name] = hashed.encode()
    return hashes


def load_web_config(path: str) -> tuple[str, WebConfig]:
    """The file's text and its settings; WebConfigError when it cannot be read or is not valid."""
    text = read_config_text(path, WebConfigError)
    try:
        return text, parse_web_config(text, os.path.dirname(os.path.abspath(path)))
    except WebConfigError as problem:
        raise WebConfigError(f"{path}: {problem}") from None


def authorized(config: WebConfig, authorization: Optional[str]) -> bool:
    """Whether a request with this Authorization header may be served: always when no users are configured."""
    if not config.users:
        return True
    scheme, _, credentials = (authorization or "").partition(" ")
    if scheme.lower() != "basic":
        return False
    try:
        name, separator, password = base64.b64decode(credentials.strip(), validate=True).decode().partition(":")
    except (binascii.Error, UnicodeDecodeError):
        return False
    known = config.users.get(name)
    matches = bcrypt.checkpw(password.encode(), known or UNKNOWN_USER_HASH)
    return bool(separator) and known is not None and matches


def tls_context(tls: TlsConfig) -> ssl.SSLContext:
    """A server context with the certificate and key; WebConfigError when they cannot be loaded."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = tls.min_version
    try:
        context.load_cert_chain(tls.cert_file, tls.key_file)
    except (OSError, ssl.SSLError) as failure:
        raise WebConfigError(f"cannot load the certificate {tls.cert_file} with the key {tls.key_file}: "
                             f"{getattr(failure, 'strerror', None) or failure}") from None
    return context


def _file_stamp(path: str) -> tuple[int, int]:
    try:
        status = os.stat(path)
    except OSError:
        return (-1, -1)  # missing: loading it will say so
    return (status.st_mtime_ns, status.st_size)


class WebConfigWatcher:
    """The web config as the file says now: read at each request, parsed again when its text changed, and the
    certificate loaded again when the settings or the certificate's files changed. A file that became unreadable
    or invalid keeps the last good settings and is told on standard error once per change. Whether the server
    speaks TLS is fixed at start (the socket is made for it): a change that turns it on or off is refused."""

    def __init__(self, path: str, log: Callable[[str], None] = lambda line: print(line, file=sys.stderr,
                                                                                    flush=True)):
        self.path, self._log = path, log
        self._lock = threading.Lock()
        self._text, self.config = load_web_config(path)  # WebConfigError at start: the caller refuses to start
        self.uses_tls = self.config.tls is not None
        self._context_key = None
        self._context: Optional[ssl.SSLContext] = None
        # The last problem logged of the file and of the certificate, so that each is logged once.
        self._told: dict[str, Optional[str]] = {"file": None, "certificate": None}
        if self.uses_tls:
            self._context_key = self._key_of(self.config.tls)
            self._context = tls_context(self.config.tls)

    @staticmethod
    def _key_of(tls: TlsConfig) -> tuple:
        return (tls, _file_stamp(tls.cert_file), _file_stamp(tls.key_file))

    def current(self) -> WebConfig:
        """The settings to serve this request with."""
        with self._lock:
            self._refresh()
            return self.config

    def current_tls_context(self) -> ssl.SSLContext:
        """The context for a new connection (only when the server speaks TLS)."""
        with self._lock:
            self._refresh()
            key = self._key_of(self.config.tls)
            if key != self._context_key:
                try:
                    self._context = tls_context(self.config.tls)
                except WebConfigError as problem:
                    self._tell("certificate", f"{problem}; the last good certificate stays in use")
                else:
                    self._told["certificate"] = None
                self._context_key = key  # tried once per change of the files
            return self._context

    def _refresh(self) -> None:
        try:
            text, config = load_web_config(self.path)
        except WebConfigError as problem:
            self._tell("file", f"{problem}; the last good web config stays in use")
            return
        if text == self._text:
            self._told["file"] = None
            return
        if (config.tls is not None) != self.uses_tls:
            self._tell("file", f"{self.path}: TLS cannot be turned {'on' if config.tls else 'off'} while the "
                               f"exporter runs (restart it); the last good web config stays in use")
            return
        self._text, self.config, self._told["file"] = text, config, None

    def _tell(self, about: str, problem: str) -> None:
        if problem != self._told[about]:
            self._log(f"tarnvale export: {problem}")
            self._told[about] = problem
