"""The type stubs shipped beside the native module describe what it holds.

mypy.stubtest checks the enumerations and the constants (``make stubtest``),
but it cannot judge the signatures of objects that are not Python functions;
this compares those with the functions' own signatures, on every interpreter.
"""
import ast
import enum
import inspect
from pathlib import Path

import pytest

STUB = Path(__file__).resolve().parents[1] / "kestrune" / "testing" / "plotting" / "series.pyi"
TREE = ast.parse(STUB.read_text())
STUB_FUNCTIONS = {node.name: node for node in TREE.body if isinstance(node, ast.FunctionDef)}
STUB_CLASSES = {node.name: node for node in TREE.body if isinstance(node, ast.ClassDef)}
STUB_NAMES = {node.target.id for node in TREE.body if isinstance(node, ast.AnnAssign)}
NO_DEFAULT = inspect.Parameter.empty


def stub_default(node, series):
    """The value a default in the stub stands for: a literal or Enum.MEMBER."""
    if isinstance(node, ast.Attribute):
        return getattr(getattr(series, node.value.id), node.attr)
    return ast.literal_eval(node)


def stub_parameters(node, series):
    """(name, kind, default) of each parameter of a stub function."""
    args = node.args
    defaults = [NO_DEFAULT] * (len(args.args) - len(args.defaults))
    defaults += [stub_default(d, series) for d in args.defaults]
    params = [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, d) for a, d in zip(args.args, defaults)]
    assert not (args.vararg or args.kwonlyargs), "the module has no *args or keyword-only parameters"
    if args.kwarg:
        params.append((args.kwarg.arg, inspect.Parameter.VAR_KEYWORD, NO_DEFAULT))
    return params


def test_stubs_name_exactly_the_module_functions(series):
    function_type = type(series.plot_row)
    module_functions = {name for name, value in vars(series).items() if type(value) is function_type}
    assert len(module_functions) == 15
    assert set(STUB_FUNCTIONS) == module_functions


@pytest.mark.parametrize("name", sorted(STUB_FUNCTIONS))
def test_stub_signature_matches_the_function(series, name):
    runtime = inspect.signature(getattr(series, name))
    actual = [(p.name, p.kind, p.default) for p in runtime.parameters.values()]
    expected = stub_parameters(STUB_FUNCTIONS[name], series)
    assert [p[:2] for p in actual] == [p[:2] for p in expected]
    # Identity, not equality: the stub's ShareSetting.AXES is the module's member.
    for (pname, _, got), (_, _, want) in zip(actual, expected):
        assert got is want or (type(got) is type(want) and got == want), pname


@pytest.mark.parametrize("name", ["ShareSetting", "PlotType"])
def test_stub_enumerations_match(series, name):
    members = [(t.targets[0].id, ast.literal_eval(t.value))
               for t in STUB_CLASSES[name].body if isinstance(t, ast.Assign)]
    runtime = getattr(series, name)
    assert issubclass(runtime, enum.Enum)
    assert members == [(m.name, m.value) for m in runtime]


def test_stub_constants_exist(series):
    assert STUB_NAMES == {"ID_INDEX_IDX", "logger"}
    assert all(hasattr(series, name) for name in STUB_NAMES)
