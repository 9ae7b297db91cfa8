"""schemathesis against the OpenAPI description of two demo users: no
answer is a 500, every answer matches its schema. Bounded in time, the
database's own demo is written to freely."""

import os
import subprocess
import sys

import pytest

from .conftest import token

# seconds per user: the servers' round trips cost more, so they get fewer
_BUDGET = {"sqlite": 25, "mariadb": 12, "postgresql": 12}


@pytest.mark.parametrize("role", ["admin", "sales"])
def test_no_answer_fails_or_strays_from_its_schema(server, business_db, engine_name, role, tmp_path):
    user = business_db.summary.user(role)
    command = [os.path.join(os.path.dirname(sys.executable), "schemathesis"), "run", f"{server.base}/openapi.json",
               "-H", f"Authorization: Bearer {token(user.id, user.orgId)}",
               "--checks", "not_a_server_error,response_schema_conformance", "--phases", "fuzzing",
               "--mode", "positive", "--max-examples", "4", "--max-time", str(_BUDGET[engine_name]),
               "--generation-deterministic", "--no-shrink", "--max-failures", "5", "--workers", "2", "--no-color"]
    run = subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert run.returncode == 0, run.stdout[-6000:] + run.stderr[-2000:]
    assert "passed" in run.stdout
