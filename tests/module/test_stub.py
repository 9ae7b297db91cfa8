"""The typed stub shipped beside the module names each function's parameters and defaults as the module binds them:
the type checker's stubtest cannot read the signatures of bound C++ functions, but their docstrings hold them."""

import ast
import types
from pathlib import Path

from ornivell.db import _dbplus as dp

STUB = Path(dp.__file__).with_name("_dbplus.pyi")
REQUIRED = "(required)"


def parameters(function):
    """(name, default) of each parameter of a function definition."""
    args = function.args
    defaults = [REQUIRED] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    return [(arg.arg, default) for arg, default in zip(args.args, defaults)]


def stub_functions():
    """qualified name: parameters, for every function of the stub."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    found = {}
    for node in tree.body:
        members = node.body if isinstance(node, ast.ClassDef) else [node]
        prefix = f"{node.name}." if isinstance(node, ast.ClassDef) else ""
        for member in members:
            if isinstance(member, ast.FunctionDef):
                found[prefix + member.name] = parameters(member)
    return found


def bound_functions():
    """qualified name: parameters, for every function the module binds with a signature in its docstring."""
    found = {}
    for owner, prefix in [(dp, "")] + [(getattr(dp, name), f"{name}.") for name in
                                       ("DbPlus", "ModelInfo", "SqlResult", "SqlBlock", "PermCheckResult")]:
        for name, value in vars(owner).items():
            function = getattr(value, "__func__", value)
            signature = (getattr(function, "__doc__", None) or "").split("\n")[0]
            if isinstance(function, types.BuiltinFunctionType) and signature.startswith(f"{name}("):
                found[prefix + name] = parameters(ast.parse(f"def {signature}: ...").body[0])
    return found


def test_the_stub_ships_beside_the_module_with_the_typed_marker():
    assert STUB.is_file() and (Path(dp.__file__).parents[1] / "py.typed").is_file()


def test_each_bound_function_has_its_parameters_and_defaults_in_the_stub():
    bound, stub = bound_functions(), stub_functions()
    assert len(bound) > 60  # the docstrings were read
    assert {name: stub.get(name) for name in bound} == bound
