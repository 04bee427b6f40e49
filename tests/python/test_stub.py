"""Type information of the extension module, as a type checker sees it once the
wheel is installed: mypy runs on small snippets that import the module."""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

# Each snippet is checked as its own file. Expected: the error codes mypy
# reports, by line, and what reveal_type shows.
SNIPPETS = {
    "clean": (
        "from quillmarrow_engine_native import __all__, run\n"
        'out: str = run("tier", "{}")\n'
        'same: str = run(command="tier", payload_json="{}")\n'
        "names: list[str] = __all__\n"
        "reveal_type(run)\n",
        [],
        ['5: note: Revealed type is "def (command: str, payload_json: str) -> str"'],
    ),
    "int_command": (
        "from quillmarrow_engine_native import run\n"
        'run(1, "x")\n',
        [(2, "arg-type")],
        [],
    ),
    "missing_payload": (
        "from quillmarrow_engine_native import run\n"
        'run("a")\n',
        [(2, "call-arg")],
        [],
    ),
    "wrong_result_and_keyword": (
        "import quillmarrow_engine_native as native\n"
        'count: int = native.run("tier", "{}")\n'
        'native.run("tier", payload="{}")\n'
        "native.score\n",
        [(2, "assignment"), (3, "call-arg"), (4, "attr-defined")],
        [],
    ),
    "columns": (
        "import numpy as np\n"
        "from quillmarrow_engine import ACTIONS, TIERS, score_arrays, tier_arrays, tier_table\n"
        "result = tier_arrays([1.0], [2], [0.5], [0.5], keep_forever=[True])\n"
        "codes: np.ndarray = result.tier\n"
        "names: tuple[str, ...] = TIERS + ACTIONS\n"
        "text: str = result.retention\n"
        "score_arrays([1.0], [2], [0.5], [0.5]).tier\n"
        "tier_arrays([1.0], [2])\n"
        "reveal_type(TIERS)\n"
        "reveal_type(tier_table)\n"
        "tier_arrays([1.0], [2], [0.5], [0.5], None, None, 2)\n"
        "score_arrays([1.0], [2], [0.5], [0.5], threads='2')\n"
        "tier_table(None, threads=None)\n",
        [(6, "assignment"), (7, "attr-defined"), (8, "call-arg"), (11, "call-arg"), (12, "arg-type")],
        [
            '9: note: Revealed type is "tuple[str, ...]"',
            '10: note: Revealed type is "def (data: Any, *, columns: typing.Mapping[str, str] | None =, '
            'recalled_at: str | None =, now: str | float | datetime.datetime | None =, time_unit: str | None =, '
            'max_skew: float | None =, threads: int | None =) -> Any"',
        ],
    ),
    "bulk": (
        "from quillmarrow_engine import _bulk\n"
        "_bulk.tier_columns(b'', b'', b'', b'', None, None, bytearray(), bytearray(), bytearray(), 2)\n"
        "_bulk.score_columns(b'', b'', b'', b'', b'', b'', b'', 1, 1)\n"
        "_bulk.tier_columns(b'', b'', b'', b'', None, None, b'', b'', b'')\n"
        "_bulk.score_columns(b'', b'', b'', b'', b'', b'', b'', None)\n",
        [(3, "call-arg"), (4, "call-arg"), (5, "arg-type")],
        [],
    ),
}

LINE = re.compile(r"^(\w+)\.py:(\d+): (error|note): (.*?)(?:  \[([\w-]+)\])?$")


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """mypy's findings per snippet, from one run in an empty folder."""
    folder = tmp_path_factory.mktemp("snippets")
    for name, (code, _, _) in SNIPPETS.items():
        (folder / f"{name}.py").write_text(code)
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-error-summary", "--cache-dir", str(folder / ".cache"),
         *sorted(f"{name}.py" for name in SNIPPETS)],
        cwd=folder, capture_output=True, text=True, env=env, timeout=600,
    )
    assert "No module named mypy" not in result.stderr, "mypy is not installed"
    report = {name: {"errors": [], "notes": []} for name in SNIPPETS}
    for line in result.stdout.splitlines():
        match = LINE.match(line)
        assert match, f"unexpected mypy output: {line!r}"
        name, number, kind, text, code = match.groups()
        if kind == "error":
            report[name]["errors"].append((int(number), code))
        elif text.startswith("Revealed type"):
            report[name]["notes"].append(f"{number}: note: {text}")
    return report


@pytest.mark.parametrize("name", SNIPPETS)
def test_mypy_sees_the_signature(mypy_report, name):
    _, errors, notes = SNIPPETS[name]
    assert mypy_report[name]["errors"] == errors
    assert mypy_report[name]["notes"] == notes


def test_stub_is_installed_beside_the_module():
    spec = importlib.util.find_spec("quillmarrow_engine_native")
    assert spec is not None and spec.origin is not None
    folder = pathlib.Path(spec.origin).parent
    assert (folder / "quillmarrow_engine_native.pyi").is_file()


def test_stub_matches_the_runtime_module(tmp_path):
    # stubtest imports the module and compares names and signatures
    # (from run.__text_signature__) with the stub that mypy finds.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quillmarrow_engine_native"],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_column_stub_matches_the_native_module(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quillmarrow_engine._bulk"],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
