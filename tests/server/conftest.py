"""A real ``dbplus serve`` process on 127.0.0.1 over each engine's demo,
and tokens for its users."""

import json
import os
import socket
import subprocess
import sys
import time

import httpx
import pytest

from ornivell.db.cli.render import json_default
from ornivell.db.server.auth import mint_token

# schemathesis is installed for the Pythons that its releases support
collect_ignore = [] if sys.version_info >= (3, 9) else ["test_openapi_fuzz.py"]

SECRET = "a secret of the tests, long enough for HS256"
ISSUER, AUDIENCE = "dbplus-tests", "dbplus-api"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def plain(value):
    """``value`` as it reads back from JSON: what the module gives, as HTTP gives it."""
    return json.loads(json.dumps(value, default=json_default))


class Server:
    def __init__(self, url, workdir, *options):
        self.port = free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        self.log = open(workdir / f"server-{self.port}.log", "w+")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "ornivell.db.cli", "serve", "--db", url, "--port", str(self.port),
             "--log-level", "warning", *options],
            stdout=self.log, stderr=subprocess.STDOUT, cwd=workdir, env={**os.environ})
        self._wait()
        self.client = httpx.Client(base_url=self.base, timeout=60)

    def _wait(self):
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError(f"the server stopped: {self.output()}")
            try:
                if httpx.get(f"{self.base}/health", timeout=2).status_code == 200:
                    return
            except httpx.HTTPError:
                time.sleep(0.2)
        raise AssertionError(f"the server did not answer: {self.output()}")

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self):
        self.client.close()
        self.process.terminate()
        self.process.wait(timeout=30)
        self.log.close()


def token(user_id, org=None, **claims):
    return mint_token(SECRET, user_id, org, issuer=ISSUER, audience=AUDIENCE, extra=claims)


@pytest.fixture(scope="module")
def server(business_db, tmp_path_factory):
    """The demo served with HS256 tokens of ``SECRET``, issuer and audience checked."""
    url = business_db.db.engine.url.render_as_string(hide_password=False)
    served = Server(url, tmp_path_factory.mktemp("serve"), "--secret", SECRET, "--issuer", ISSUER,
                    "--audience", AUDIENCE)
    yield served
    served.stop()


@pytest.fixture(scope="module")
def ask(server, business_db):
    """``ask(role, method, path, **httpx options)``: the response to a demo user of ``role``."""
    def request(role, method, path, **options):
        user = business_db.summary.user(role)
        headers = {"Authorization": f"Bearer {token(user.id, user.orgId)}"}
        return server.client.request(method, path, headers=headers, **options)

    return request
