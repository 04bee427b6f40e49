"""Tables of memories in SQLite and PostgreSQL for the re-tiering tests: the
databases (fixtures db, sqlite_db, postgres_db; the server itself is the
session fixture postgres_url of conftest.py), rows around every threshold,
and what tier_arrays decides for them."""

import math
import os
import sqlite3
import subprocess
import sys

import numpy as np
import pytest

import quillmarrow_engine

NOW = 1_750_000_000
DAY = 86_400
FIELDS = ("days_since_recall", "retrieval_count", "importance", "frequency",
          "is_procedural", "keep_forever")


class Database:
    """One database of either kind, with the little SQL the tests need."""

    def __init__(self, kind, url, connect):
        self.kind = kind
        self.url = url
        self._connect = connect
        self.conn = connect()
        self.mark = "?" if kind == "sqlite" else "%s"

    def sql(self, text):
        return text.replace("?", self.mark)

    def execute(self, text, params=()):
        self.conn.execute(self.sql(text), params)
        self.conn.commit()

    def query(self, text, params=()):
        rows = self.conn.execute(self.sql(text), params).fetchall()
        self.conn.commit()
        return rows

    def types(self):
        if self.kind == "sqlite":
            return {"number": "REAL", "count": "INTEGER", "flag": "INTEGER", "text": "TEXT",
                    "time": "INTEGER"}
        return {"number": "double precision", "count": "integer", "flag": "boolean",
                "text": "text", "time": "timestamptz"}

    def create(self, table, rows, flags=True, results=True, int_flags=False):
        """A memory table named `table` holding `rows` (id + the six fields)."""
        t = self.types()
        if int_flags:
            t["flag"] = "integer"
        columns = [f"id {t['text']} PRIMARY KEY", f"days_since_recall {t['number']}",
                   f"retrieval_count {t['count']}", f"importance {t['number']}",
                   f"frequency {t['number']}"]
        if flags:
            columns += [f"is_procedural {t['flag']}", f"keep_forever {t['flag']}"]
        if results:
            columns += [f"tier {t['text']}", f"action {t['text']}", f"retention {t['number']}"]
        self.execute(f'CREATE TABLE "{table}" ({", ".join(columns)})')
        names = ["id", *FIELDS[: 6 if flags else 4]]
        marks = ", ".join([self.mark] * len(names))
        cur = self.conn.cursor()
        values = [self._flags(r[: len(names)], int_flags) for r in rows]
        cur.executemany(f'INSERT INTO "{table}" ({", ".join(names)}) VALUES ({marks})', values)
        self.conn.commit()

    def _flags(self, row, int_flags=False):
        if self.kind == "sqlite" or int_flags:
            return tuple(int(v) if isinstance(v, bool) else v for v in row)
        return row

    def snapshot(self, table):
        """Every row, NaN shown as a text so that equal tables compare equal."""
        return [
            tuple("NaN" if isinstance(v, float) and math.isnan(v) else v for v in row)
            for row in self.query(f'SELECT * FROM "{table}" ORDER BY id')
        ]

    def close(self):
        self.conn.close()


def _database(kind, request, tmp_path):
    if kind == "sqlite":
        path = tmp_path / "store.db"
        sqlite3.connect(path).close()
        return Database("sqlite", str(path), lambda: sqlite3.connect(path))
    # The server fixture comes first: it skips, saying why, where psycopg or
    # a server cannot be had.
    url = request.getfixturevalue("postgres_url")
    import psycopg

    # A fresh schema per test keeps the tests apart on the one server.
    schema = f"t_{abs(hash(request.node.nodeid)):x}"
    with psycopg.connect(url, autocommit=True) as conn:
        conn.execute(f"DROP SCHEMA IF EXISTS {schema} CASCADE")
        conn.execute(f"CREATE SCHEMA {schema}")
    url = f"{url}&options=-csearch_path%3D{schema}"
    return Database("postgres", url, lambda: psycopg.connect(url))


@pytest.fixture(params=["sqlite", "postgres"])
def db(request, tmp_path):
    database = _database(request.param, request, tmp_path)
    yield database
    database.close()


@pytest.fixture
def sqlite_db(request, tmp_path):
    database = _database("sqlite", request, tmp_path)
    yield database
    database.close()


@pytest.fixture
def postgres_db(request, tmp_path):
    database = _database("postgres", request, tmp_path)
    yield database
    database.close()


def random_rows(n, seed=7):
    """Rows with values on and around every threshold of the decision chain."""
    rng = np.random.default_rng(seed)
    days = rng.choice([0.0, 0.5, 6.999, 7.0, 7.001, 29.5, 30.0, 31.0, 179.0, 180.0, 400.0, -2.0], n)
    days = np.where(rng.random(n) < 0.5, days, rng.random(n) * 300)
    count = rng.choice([0, 1, 2, 3, 4, 20, 1000], n)
    importance = np.where(rng.random(n) < 0.2, 1.5, rng.random(n))
    frequency = rng.random(n)
    procedural = rng.random(n) < 0.3
    pinned = rng.random(n) < 0.1
    return [
        (f"m{i:05d}", float(d), int(c), float(im), float(fr), bool(p), bool(k))
        for i, (d, c, im, fr, p, k) in enumerate(
            zip(days, count, importance, frequency, procedural, pinned))
    ]


def expected(rows, days=None):
    """What tier_arrays gives for the rows: id -> (tier, action, retention)."""
    cols = list(zip(*rows))
    out = quillmarrow_engine.tier_arrays(
        np.array(cols[1] if days is None else days, dtype=np.float64), np.array(cols[2]),
        np.array(cols[3]), np.array(cols[4]),
        is_procedural=np.array(cols[5], dtype=bool), keep_forever=np.array(cols[6], dtype=bool),
    )
    tiers, actions = quillmarrow_engine.TIERS, quillmarrow_engine.ACTIONS
    return {
        row[0]: (tiers[t], actions[a], r)
        for row, t, a, r in zip(rows, out.tier.tolist(), out.action.tolist(), out.retention.tolist())
    }


def decided(rows, days=None):
    """What tier_arrays decides for the rows: id -> (tier, action)."""
    return {key: value[:2] for key, value in expected(rows, days).items()}


def stored(db, table="memories", retention=False):
    """id -> (tier, action), and retention when asked for."""
    return {r[0]: tuple(r[1 : 4 if retention else 3]) for r in db.query(
        f'SELECT id, tier, action, retention FROM "{table}" ORDER BY id')}


def run_cli(*args):
    env = dict(os.environ)
    if os.environ.get("QM_MODULE_DIR"):
        env["PYTHONPATH"] = os.pathsep.join(
            [os.path.abspath(os.environ["QM_MODULE_DIR"]), env.get("PYTHONPATH", "")])
    return subprocess.run(
        [sys.executable, "-m", "quillmarrow_engine.cli", *map(str, args)],
        capture_output=True, text=True, env=env, timeout=120,
    )
