"""A throwaway PostgreSQL server for tests and benchmarks.

The cluster lives in a new temporary directory and listens only on a Unix
socket there (no TCP port). PostgreSQL refuses to run as root, so when the
tests run as root the directory is handed to the unprivileged user `nobody`
and the server runs as that user. `start()` returns None with the reason when
no server can be had (no binaries, or they fail to start).
"""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import subprocess
import tempfile
from dataclasses import dataclass
from urllib.parse import quote

UNPRIVILEGED = "nobody"


@dataclass
class Server:
    directory: str
    url: str
    pg_ctl: str
    user: str | None

    def stop(self) -> None:
        subprocess.run(
            [self.pg_ctl, "stop", "-D", os.path.join(self.directory, "data"), "-m", "immediate", "-w"],
            capture_output=True, timeout=60, **_as_user(self.user),
        )
        shutil.rmtree(self.directory, ignore_errors=True)


def find_bindir() -> str | None:
    """The directory holding initdb and pg_ctl: on the PATH, or Debian's PostgreSQL 15 or later."""
    initdb = shutil.which("initdb")
    if initdb and shutil.which("pg_ctl"):
        return os.path.dirname(initdb)
    for bindir in sorted(glob.glob("/usr/lib/postgresql/*/bin"), reverse=True):
        if os.access(os.path.join(bindir, "initdb"), os.X_OK):
            return bindir
    return None


def start() -> tuple[Server | None, str]:
    """A running server and "", or None and why there is none."""
    bindir = find_bindir()
    if bindir is None:
        return None, "no PostgreSQL server binaries (initdb, pg_ctl): apt-get install postgresql-15"
    user = None
    if os.geteuid() == 0:
        try:
            pwd.getpwnam(UNPRIVILEGED)
        except KeyError:
            return None, f"running as root and there is no user {UNPRIVILEGED!r} to run PostgreSQL as"
        user = UNPRIVILEGED
    directory = tempfile.mkdtemp(prefix="qm-pg-", dir="/tmp")
    data = os.path.join(directory, "data")
    log = os.path.join(directory, "server.log")
    if user is not None:
        entry = pwd.getpwnam(user)
        os.chown(directory, entry.pw_uid, entry.pw_gid)
    pg_ctl = os.path.join(bindir, "pg_ctl")
    steps = [
        [os.path.join(bindir, "initdb"), "-D", data, "-U", "postgres", "-A", "trust",
         "-E", "UTF8", "--no-sync", "--no-instructions"],
        [pg_ctl, "start", "-D", data, "-l", log, "-w", "-t", "60", "-o",
         f"-k {directory} -c listen_addresses= -F -c max_connections=20 -c shared_buffers=128MB"],
    ]
    for step in steps:
        try:
            done = subprocess.run(step, capture_output=True, text=True, timeout=120, **_as_user(user))
        except (OSError, subprocess.SubprocessError) as exc:
            shutil.rmtree(directory, ignore_errors=True)
            return None, f"cannot run {os.path.basename(step[0])}: {exc}"
        if done.returncode != 0:
            tail = ""
            if os.path.exists(log):
                with open(log, encoding="utf-8", errors="replace") as f:
                    tail = f.read()[-500:]
            shutil.rmtree(directory, ignore_errors=True)
            return None, (
                f"{os.path.basename(step[0])} failed: {(done.stderr or done.stdout).strip()[-500:]} {tail}"
            )
    url = f"postgresql://postgres@/postgres?host={quote(directory, safe='')}"
    return Server(directory, url, pg_ctl, user), ""


def _as_user(user: str | None) -> dict[str, object]:
    if user is None:
        return {}
    entry = pwd.getpwnam(user)
    return {"user": entry.pw_uid, "group": entry.pw_gid, "extra_groups": [], "cwd": "/"}
