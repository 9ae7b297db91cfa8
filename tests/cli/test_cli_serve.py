"""``dbplus token`` and ``dbplus serve`` at the command line: a token a
server takes, and a development mode that is only had on loopback, asked
for, and announced."""

import os
import signal
import subprocess
import sys

import httpx
import jwt
import pytest

from tests.server.conftest import free_port


def test_token_carries_the_users_organisation(dbplus):
    made = dbplus("token", "--user", "2", "--secret", "s" * 40, "--expires", "60")
    assert made.returncode == 0, made.stderr
    claims = jwt.decode(made.stdout.strip(), "s" * 40, algorithms=["HS256"])
    assert claims["sub"] == "2" and claims["orgId"] == 2 and claims["exp"] - claims["iat"] == 60
    missing = dbplus("token", "--user", "2", env={"DBPLUS_JWT_SECRET": ""})
    assert missing.returncode == 1 and "--secret" in missing.stderr
    unknown = dbplus("token", "--user", "99", "--secret", "s" * 40)
    assert unknown.returncode == 1 and "no user with id 99" in unknown.stderr


@pytest.mark.parametrize("args, needle", [
    (("--insecure-dev-user", "2", "--host", "0.0.0.0"), "only on a loopback address"),
    ((), "give the tokens' key"),
    (("--public-key", "missing.pem"), "missing.pem"),
])
def test_serve_refuses_what_it_cannot_serve_safely(dbplus, args, needle):
    refused = dbplus("serve", "--port", "1", *args, env={"DBPLUS_JWT_SECRET": ""})
    assert refused.returncode == 1 and needle in refused.stderr


def test_development_mode_says_so_and_acts_as_its_user(dbplus):
    port = free_port()
    process = subprocess.Popen([sys.executable, "-m", "ornivell.db.cli", "serve", "--db", dbplus.url,
                                "--port", str(port), "--insecure-dev-user", "2"],
                               cwd=dbplus.workdir, stderr=subprocess.PIPE, text=True, env={**os.environ})
    try:
        announced = process.stderr.readline()
        assert "INSECURE development mode" in announced and "user 2" in announced
        for _ in range(100):
            try:
                rows = httpx.get(f"http://127.0.0.1:{port}/models/customer", timeout=2).json()["data"]
                break
            except httpx.HTTPError:
                process.poll()
                assert process.returncode is None
        assert rows and {row["orgId"] for row in rows} == {2}
    finally:
        process.send_signal(signal.SIGINT)
        process.wait(timeout=30)
