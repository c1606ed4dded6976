"""Shared fixtures for the tests of ruvo._native."""

import os
import pathlib
import subprocess

import pytest

import ruvo._native
from ruvo import NativeStore


@pytest.fixture
def store():
    return NativeStore.new_temporary()


@pytest.fixture
def paths(tmp_path):  # EDB and IDB directories of a fresh file-backed store
    return str(tmp_path / "edb"), str(tmp_path / "idb")


@pytest.fixture
def corrupt():
    """Runs the database-damaging tool: corrupt(mode, edb_dir, *more)."""
    build = pathlib.Path(ruvo._native.__file__).resolve().parents[2]  # <build>/python/ruvo/
    tool = pathlib.Path(os.environ.get("RUVO_TEST_TOOL") or build / "ruvo_py" / "ruvo_corrupt_tool")
    if not tool.is_file():
        pytest.skip("ruvo_corrupt_tool not built (set RUVO_TEST_TOOL)")
    return lambda *args: subprocess.run([str(tool), *map(str, args)], check=True)


def atom(name, *args, arity=None, negated=None):
    goal = {"pred_name": name, "pred_arity": len(args) if arity is None else arity,
            "args": list(args)}
    return goal if negated is None else {**goal, "negated": negated}


def raises_exactly(cls, message, call):
    """call() must raise cls itself with the message (None: any but a renamed argument's)."""
    with pytest.raises(cls) as e:
        call()
    assert type(e.value) is cls
    if message is None:
        assert not str(e.value).startswith("argument")
    else:
        assert str(e.value) == message
    return e.value
