"""The web configuration file (--web.config.file): TLS and basic authentication, in the format of
the Prometheus exporter toolkit, so that operators reuse the file their other exporters read.

    tls_server_config:
      cert_file: server.crt          # or cert: the PEM text; relative to the file's directory
      key_file: server.key           # or key: the PEM text
      client_auth_type: RequireAndVerifyClientCert
      client_ca_file: ca.crt         # or client_ca: the PEM text
      min_version: TLS12             # TLS10, TLS11, TLS12 (default), TLS13
      max_version: TLS13
    http_server_config:
      headers: {X-Content-Type-Options: nosniff}
    basic_auth_users:
      alice: $2y$10$...              # bcrypt hashes, as htpasswd -nBC 10 "" writes them

A file is refused whole, with the field it stumbled on: an unknown field (as the toolkit refuses
one), a value of the wrong type, a TLS version or client authentication type that does not
exist, a password that is not a bcrypt hash, a certificate or key that does not load. The toolkit's
fields that would weaken what an operator asked for if they were ignored (client_allowed_sans,
cipher_suites, curve_preferences, rate_limit) and the client authentication types that accept a
certificate without verifying it (RequestClientCert, RequireAnyClientCert) are refused as not
supported rather than ignored.

WebConfigFile keeps the last good reading: it reads the file again when it, or a file it names,
changes, or when reload() is called (on SIGHUP); a reading that fails keeps the last good one and
says so in an "ERROR: " line. Whether the port speaks TLS is fixed at start: a reading that would
turn it on or off is refused likewise.

bcrypt and PyYAML are imported only when a file is given.
"""

import base64
import hashlib
import os
import re
import ssl
import threading
import time
from collections import OrderedDict

TLS_VERSIONS = {
    "TLS10": ssl.TLSVersion.TLSv1,
    "TLS11": ssl.TLSVersion.TLSv1_1,
    "TLS12": ssl.TLSVersion.TLSv1_2,
    "TLS13": ssl.TLSVersion.TLSv1_3,
}
# The toolkit's client authentication types this server can honour: none, or a certificate that
# verifies against the client CAs, when given or always.
CLIENT_AUTH_TYPES = {
    "NoClientCert": ssl.CERT_NONE,
    "VerifyClientCertIfGiven": ssl.CERT_OPTIONAL,
    "RequireAndVerifyClientCert": ssl.CERT_REQUIRED,
}
# Theirs that accept a certificate without verifying it; Python's ssl module cannot.
UNVERIFIED_CLIENT_AUTH_TYPES = ("RequestClientCert", "RequireAnyClientCert", "RequireClientCert")
UNSUPPORTED = "is not supported by zelnor-exporter"
BCRYPT_HASH = re.compile(r"\$2[aby]?\$[0-9]{2}\$[./A-Za-z0-9]{53}")
# Successful and failed checks kept per reading, so that a scraper's every request does not cost
# a bcrypt hash (tens of milliseconds at cost 10).
MOST_CHECKS_KEPT = 256


class WebConfigError(ValueError):
    """A web configuration that cannot be used; the message names the field."""


def _fail(field, message):
    raise WebConfigError(f"{field}: {message}")


def _require(module, field):
    """Refuses the file, naming `field`, where the module it needs is not installed (PyYAML and
    bcrypt come with zelnor's `web` extra)."""
    try:
        __import__(module)
    except ImportError:
        package = {"yaml": "PyYAML"}.get(module, module)
        _fail(field, f"reading it needs {package}: pip install 'zelnor[web]'")


def _mapping(value, field):
    if value is None:
        return {}
    if not isinstance(value, dict):
        _fail(field, "not a mapping")
    return value


def _only(mapping, field, known, unsupported=()):
    for key in mapping:
        name = f"{field}.{key}" if field else str(key)
        if key in unsupported and mapping[key] not in (None, [], {}):
            _fail(name, UNSUPPORTED)
        if key not in known and key not in unsupported:
            _fail(name, "unknown field")


def _text(mapping, key, field):
    value = mapping.get(key)
    if value is None:
        return ""
    if not isinstance(value, str):
        _fail(f"{field}.{key}", "not a string")
    return value


def _boolean(mapping, key, field):
    value = mapping.get(key)
    if value is not None and not isinstance(value, bool):
        _fail(f"{field}.{key}", "not true or false")


def _path(mapping, key, field, directory):
    value = _text(mapping, key, field)
    return os.path.join(directory, value) if value else ""


def _version(mapping, key, field, default):
    name = _text(mapping, key, field) or default
    if name not in TLS_VERSIONS:
        _fail(f"{field}.{key}", f"unknown TLS version {name} (one of {', '.join(TLS_VERSIONS)})")
    return TLS_VERSIONS[name]


def _client_auth(mapping, field):
    name = _text(mapping, "client_auth_type", field) or "NoClientCert"
    if name in UNVERIFIED_CLIENT_AUTH_TYPES:
        _fail(
            f"{field}.client_auth_type",
            f"{name} {UNSUPPORTED} (it accepts a certificate without verifying it): use "
            "RequireAndVerifyClientCert or VerifyClientCertIfGiven",
        )
    if name not in CLIENT_AUTH_TYPES:
        _fail(
            f"{field}.client_auth_type",
            f"unknown client authentication type {name} (one of {', '.join(CLIENT_AUTH_TYPES)})",
        )
    return name


def _pem_file(text):
    """A path that reads as `text`, for the ssl calls that take only paths: a memory file."""
    fd = os.memfd_create("zelnor-web-config", os.MFD_CLOEXEC)
    os.write(fd, text.encode())
    return fd, f"/proc/self/fd/{fd}"


def _load_certificate(context, mapping, field, directory):
    cert_file = _path(mapping, "cert_file", field, directory)
    key_file = _path(mapping, "key_file", field, directory)
    cert, key = _text(mapping, "cert", field), _text(mapping, "key", field)
    for name, path, inline in (("cert", cert_file, cert), ("key", key_file, key)):
        if path and inline:
            _fail(f"{field}.{name}_file", f"given with {name}: give one of them")
        if not path and not inline:
            _fail(field, f"missing one of {name} or {name}_file")
    held = []
    try:
        if cert:
            held.append(_pem_file(cert))
            cert_file = held[-1][1]
        if key:
            held.append(_pem_file(key))
            key_file = held[-1][1]
        context.load_cert_chain(cert_file, key_file)
    except FileNotFoundError as error:
        _fail(f"{field}.cert_file", f"cannot read {error.filename}: {error.strerror}")
    except (OSError, ssl.SSLError) as error:
        _fail(f"{field}.cert_file", f"cannot load the certificate and key: {error}")
    finally:
        for fd, _ in held:
            os.close(fd)
    return [path for path in (cert_file, key_file) if path and not path.startswith("/proc/")]


def _load_client_cas(context, mapping, field, directory, client_auth):
    ca_file = _path(mapping, "client_ca_file", field, directory)
    ca_text = _text(mapping, "client_ca", field)
    if ca_file and ca_text:
        _fail(f"{field}.client_ca_file", "given with client_ca: give one of them")
    if (ca_file or ca_text) and client_auth == "NoClientCert":
        _fail(f"{field}.client_auth_type", "client CAs are given without a client_auth_type")
    if client_auth != "NoClientCert" and not (ca_file or ca_text):
        _fail(f"{field}.client_ca_file", f"required with client_auth_type {client_auth}")
    try:
        if ca_file:
            context.load_verify_locations(cafile=ca_file)
        elif ca_text:
            context.load_verify_locations(cadata=ca_text)
    except FileNotFoundError as error:
        _fail(f"{field}.client_ca_file", f"cannot read {error.filename}: {error.strerror}")
    except (OSError, ssl.SSLError) as error:
        _fail(f"{field}.client_ca_file", f"cannot load the client CAs: {error}")
    context.verify_mode = CLIENT_AUTH_TYPES[client_auth]
    return [ca_file] if ca_file else []


def _tls_context(tls, directory):
    """The server's TLS context for a tls_server_config, and the files it read."""
    field = "tls_server_config"
    _only(
        tls,
        field,
        (
            "cert",
            "key",
            "cert_file",
            "key_file",
            "client_auth_type",
            "client_ca",
            "client_ca_file",
            "min_version",
            "max_version",
            "prefer_server_cipher_suites",
        ),
        ("client_allowed_sans", "cipher_suites", "curve_preferences"),
    )
    _boolean(tls, "prefer_server_cipher_suites", field)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    try:
        context.minimum_version = _version(tls, "min_version", field, "TLS12")
        context.maximum_version = _version(tls, "max_version", field, "TLS13")
    except ValueError as error:
        if isinstance(error, WebConfigError):
            raise
        _fail(f"{field}.min_version", f"not available here: {error}")
    if context.minimum_version > context.maximum_version:
        _fail(f"{field}.min_version", "above max_version")
    if tls.get("prefer_server_cipher_suites", True):
        context.options |= ssl.OP_CIPHER_SERVER_PREFERENCE
    client_auth = _client_auth(tls, field)
    files = _load_certificate(context, tls, field, directory)
    files += _load_client_cas(context, tls, field, directory, client_auth)
    return context, files


def _users(users):
    field = "basic_auth_users"
    if users:
        _require("bcrypt", field)
    checked = {}
    for user, hashed in users.items():
        if not isinstance(user, str) or ":" in user:
            _fail(f"{field}.{user}", "a user name is a string without ':'")
        if not isinstance(hashed, str) or not BCRYPT_HASH.fullmatch(hashed):
            _fail(f"{field}.{user}", "not a bcrypt hash")
        checked[user] = hashed
    return checked


def _headers(http):
    field = "http_server_config"
    _only(http, field, ("http2", "headers"))
    _boolean(http, "http2", field)  # HTTP/1.1 only here: the setting changes nothing
    headers = _mapping(http.get("headers"), f"{field}.headers")
    for name, value in headers.items():
        if not isinstance(name, str) or not isinstance(value, str) or "\n" in name + value:
            _fail(f"{field}.headers.{name}", "not a header name and a one-line text")
    return [(name, value) for name, value in headers.items() if value]


class WebConfig:
    """One good reading of the file: the TLS context (None: plain HTTP), the users that may log
    in (none: no authentication), headers for every reply, and the files read besides."""

    def __init__(self, tls=None, users=None, headers=(), files=()):
        self.tls = tls
        self.users = users or {}
        self.headers = list(headers)
        self.files = list(files)
        self._checks = OrderedDict()  # digest of user, hash and password -> bool
        self._lock = threading.Lock()
        self._unknown_user_hash = None

    def authorised(self, header):
        """Whether an Authorization header logs in a user; always, when no user is configured."""
        if not self.users:
            return True
        user, password = _credentials(header)
        if user is None:
            return False
        hashed = self.users.get(user)
        key = hashlib.sha256("\0".join((user, hashed or "", password)).encode()).digest()
        with self._lock:
            known = self._checks.get(key)
        if known is not None:
            return known
        import bcrypt

        if hashed is None:
            # As long as a known user's check: no telling users apart by the time taken.
            if self._unknown_user_hash is None:
                self._unknown_user_hash = bcrypt.hashpw(b"", bcrypt.gensalt(10))
            bcrypt.checkpw(password.encode(), self._unknown_user_hash)
            result = False
        else:
            result = bcrypt.checkpw(password.encode(), hashed.encode())
        with self._lock:
            self._checks[key] = result
            while len(self._checks) > MOST_CHECKS_KEPT:
                self._checks.popitem(last=False)
        return result


def _credentials(header):
    """(user, password) of a Basic Authorization header; (None, None) for anything else."""
    scheme, _, encoded = (header or "").strip().partition(" ")
    if scheme.lower() != "basic":
        return None, None
    try:
        decoded = base64.b64decode(encoded.strip(), validate=True).decode()
    except (ValueError, UnicodeDecodeError):
        return None, None
    user, colon, password = decoded.partition(":")
    return (user, password) if colon else (None, None)


def parse(text, directory):
    """The WebConfig of a file's text; `directory` is the file's, for relative paths. Raises
    WebConfigError naming the field."""
    _require("yaml", "the file")
    import yaml

    try:
        document = yaml.safe_load(text)
    except yaml.YAMLError as error:
        raise WebConfigError(f"not YAML: {error}") from None
    document = _mapping(document, "the file")
    _only(
        document,
        "",
        ("tls_server_config", "http_server_config", "basic_auth_users"),
        ("rate_limit",),
    )
    tls = _mapping(document.get("tls_server_config"), "tls_server_config")
    context, files = _tls_context(tls, directory) if tls else (None, [])
    users = _users(_mapping(document.get("basic_auth_users"), "basic_auth_users"))
    headers = _headers(_mapping(document.get("http_server_config"), "http_server_config"))
    return WebConfig(context, users, headers, files)


def read(path):
    """The WebConfig of the file at `path`. Raises WebConfigError (OSError: as one)."""
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except (OSError, UnicodeDecodeError) as error:
        raise WebConfigError(f"cannot read it: {error}") from None
    return parse(text, os.path.dirname(os.path.abspath(path)))


def _signature(paths):
    signature = []
    for path in paths:
        try:
            found = os.stat(path)
            signature.append((found.st_dev, found.st_ino, found.st_size, found.st_mtime_ns))
        except OSError:
            signature.append(None)
    return tuple(signature)


class WebConfigFile:
    """The file at `path`, read now (WebConfigError if it cannot be used) and again on change."""

    CHECK_INTERVAL = 1.0  # seconds between looks at the files
    ASKED_INTERVAL = 0.1  # seconds between looks at whether reload_soon() was called

    def __init__(self, path):
        self.path = path
        self._config = read(path)
        self._seen = self._signature()
        self._lock = threading.Lock()  # one reading at a time
        self._stop = threading.Event()
        self._asked = False  # set by reload_soon(), taken by the watcher

    def current(self):
        return self._config

    def reload(self):
        """Reads the file again; keeps the last good reading, with an "ERROR: " line, if it
        cannot be used. Returns whether the new one is in force."""
        with self._lock:
            self._seen = self._signature()
            try:
                config = read(self.path)
                if (config.tls is None) != (self._config.tls is None):
                    raise WebConfigError(
                        "tls_server_config: TLS cannot be turned on or off while running: restart"
                    )
            except WebConfigError as error:
                print(
                    f"ERROR: zelnor-exporter: cannot use web config {self.path}: {error}; "
                    "keeping the last good one",
                    flush=True,
                )
                return False
            self._config = config
            self._seen = self._signature()
        print(f"zelnor-exporter: web config {self.path} reloaded", flush=True)
        return True

    def reload_soon(self):
        """Has the watcher read the file again: safe in a signal handler, which reload() is not
        (the handler may run on a thread inside reload(), holding its lock)."""
        self._asked = True

    def watch(self):
        """Looks at the files every CHECK_INTERVAL seconds from a daemon thread, and reads them
        again once they change or reload_soon() was called."""
        threading.Thread(target=self._watch, daemon=True, name="web config").start()

    def stop(self):
        self._stop.set()

    def _signature(self):
        return _signature([self.path, *self._config.files])

    def _watch(self):
        looked = time.monotonic()
        while not self._stop.wait(self.ASKED_INTERVAL):
            asked = self._asked
            if asked:
                self._asked = False  # a call meanwhile is answered by the reading below
            if not asked and time.monotonic() - looked < self.CHECK_INTERVAL:
                continue
            looked = time.monotonic()
            if asked or self._signature() != self._seen:
                self.reload()
