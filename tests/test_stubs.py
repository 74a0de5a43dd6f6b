"""The type stubs shipped beside the native module describe what it holds.

mypy.stubtest checks the enumerations and the constants (``make stubtest``),
but it cannot judge the signatures of objects that are not Python functions;
this compares those with the functions' own signatures, on every interpreter.
"""
import enum
import inspect
import types
from pathlib import Path

import pytest

import kestrune.testing.plotting

# The stub beside the module that is imported: in an installed wheel, the one it ships.
STUB = Path(kestrune.testing.plotting.__file__).with_name("series.pyi")
# The stub is plain Python: running it gives functions whose signatures inspect reads.
STUB_MODULE = types.ModuleType("series_stub")
exec(compile(STUB.read_text(), str(STUB), "exec"), vars(STUB_MODULE))
STUB_NAMESPACE = vars(STUB_MODULE)
# From 3.14 annotations are deferred: the module's namespace holds its
# `__annotate__` function, from which the module builds __annotations__.
STUB_FUNCTIONS = {name: value for name, value in STUB_NAMESPACE.items()
                  if inspect.isfunction(value) and name != "__annotate__"}


def test_stubs_name_exactly_the_module_functions_and_constants(series):
    assert set(STUB_FUNCTIONS) == {name for name, value in vars(series).items() if type(value) is type(series.plot_row)}
    assert set(STUB_MODULE.__annotations__) == {"ID_INDEX_IDX", "logger"}


@pytest.mark.parametrize("name", sorted(STUB_FUNCTIONS))
def test_stub_signature_matches_the_function(series, name):
    actual = inspect.signature(getattr(series, name)).parameters.values()
    expected = inspect.signature(STUB_FUNCTIONS[name]).parameters.values()
    assert [(p.name, p.kind) for p in actual] == [(p.name, p.kind) for p in expected]
    for got, want in zip(actual, expected):
        want = want.default
        if isinstance(want, enum.Enum):  # the stub's own class: it stands for the module's member
            want = getattr(getattr(series, type(want).__name__), want.name)
        # Identity, not equality: a default that merely equals the member would not do.
        assert got.default is want or (type(got.default) is type(want) and got.default == want), got.name


@pytest.mark.parametrize("name", ["ShareSetting", "PlotType"])
def test_stub_enumerations_match(series, name):
    assert [(m.name, m.value) for m in STUB_NAMESPACE[name]] == [(m.name, m.value) for m in getattr(series, name)]
