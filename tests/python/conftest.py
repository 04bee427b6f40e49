"""Shared fixtures for the tests of the quillmarrow_engine_native module.

The tests import the installed module. Setting QM_MODULE_DIR to a build
directory (for example one configured with -DQM_TEST_HOOKS=ON) puts the
module found there first, for this process and for the subprocesses that
some tests start.
"""

import os
import pathlib
import subprocess
import sys

import pytest

import postgres_server

MODULE_DIR = os.environ.get("QM_MODULE_DIR")
if MODULE_DIR:
    sys.path.insert(0, os.path.abspath(MODULE_DIR))

import quillmarrow_engine_native  # noqa: E402

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
SHARED_DIR = REPO_ROOT.parent / "shared"

HOOK_PREFIX = "qm-test-hook:"


@pytest.fixture(scope="session")
def native():
    return quillmarrow_engine_native


@pytest.fixture(scope="session")
def run(native):
    return native.run


@pytest.fixture(scope="session")
def hooks(run):
    """The prefix of the test-only commands; skips unless the module has them."""
    command = HOOK_PREFIX + "ping"
    try:
        answer = run(command, "{}")
    except RuntimeError as exc:
        if str(exc) == "unknown command: " + command:
            pytest.skip("module built without QM_TEST_HOOKS")
        raise
    assert answer == "pong"
    return HOOK_PREFIX


@pytest.fixture(scope="session")
def shared_dir():
    if not SHARED_DIR.is_dir():
        pytest.skip("no shared directory beside the repository")
    return SHARED_DIR


def _child_env():
    env = dict(os.environ)
    if MODULE_DIR:
        paths = [os.path.abspath(MODULE_DIR)]
        if env.get("PYTHONPATH"):
            paths.append(env["PYTHONPATH"])
        env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


@pytest.fixture(scope="session")
def run_python():
    """Runs Python code in a fresh interpreter that imports the same module."""

    def run_code(code, timeout=300):
        return subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            env=_child_env(),
            timeout=timeout,
        )

    return run_code


REQUIRE_POSTGRES = bool(os.environ.get("QM_REQUIRE_POSTGRES"))


@pytest.fixture(scope="session")
def postgres_url():
    try:
        import psycopg  # noqa: F401
    except ImportError:
        _no_postgres("psycopg 3 is not installed (pip install 'psycopg[binary]')")
    server, why = postgres_server.start()
    if server is None:
        _no_postgres(why)
    yield server.url
    server.stop()


def _no_postgres(why):
    if REQUIRE_POSTGRES:
        pytest.fail(f"QM_REQUIRE_POSTGRES is set but no PostgreSQL server: {why}")
    pytest.skip(f"no PostgreSQL server: {why}")
