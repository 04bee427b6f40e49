"""The public JSONTestSuite parsing cases, through run.

Files named y_ hold texts every JSON parser must accept, n_ texts it must
reject; i_ files are left to the implementation and are not checked. Only
files that are valid UTF-8 can be passed as a str.
"""

import pathlib
import re

import pytest

SUITE = (
    pathlib.Path(__file__).resolve().parents[2].parent
    / "shared"
    / "conformance"
    / "JSONTestSuite"
    / "test_parsing"
)
POSITION = re.compile(r" at line \d+ column \d+\Z")


def cases(prefix):
    if not SUITE.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason=f"{SUITE} is absent"))]
    found = []
    for path in sorted(SUITE.glob(prefix + "*.json")):
        try:
            text = path.read_bytes().decode("utf-8")
        except UnicodeDecodeError:
            continue
        found.append(pytest.param(text, id=path.name))
    return found


@pytest.mark.parametrize("text", cases("y_"))
def test_accepted_texts_have_no_syntax_error(run, text):
    try:
        run("tier", text)
    except RuntimeError as exc:
        assert not POSITION.search(str(exc)), str(exc)


@pytest.mark.parametrize("text", cases("n_"))
def test_rejected_texts_raise_runtime_error(run, text):
    for command in ["tier", "nope"]:
        with pytest.raises(RuntimeError) as info:
            run(command, text)
        assert POSITION.search(str(info.value)), str(info.value)
