"""The installed type stub describes the module as it is: every function, constant and cvar
variable, with the right kinds, and mypy accepts a script written against it."""

import ast
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import vantrel
from model import REGISTERS as MODEL_REGISTERS

# Where pip installed the package; the module under test may be another build placed in front.
INSTALLED = Path(sysconfig.get_path("platlib"))
STUB = INSTALLED / "vantrel.pyi"
REGISTERS = set(MODEL_REGISTERS)


def stub_tree():
    return ast.parse(STUB.read_text())


def test_stub_is_installed_beside_the_module_and_as_stub_package():
    assert STUB.is_file() and any(INSTALLED.glob("vantrel.*.so"))
    package = INSTALLED / "vantrel-stubs" / "__init__.pyi"
    assert package.read_text() == STUB.read_text()


def test_stub_names_every_function_and_constant():
    tree = stub_tree()
    functions = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    values = {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    module = {name for name in dir(vantrel) if not name.startswith("_")}
    assert functions == {name for name in module if callable(getattr(vantrel, name))}
    assert len(functions) == 27
    assert values == {"RED", "GREEN", "BLUE", "BACKGROUND_CUT", "cvar"}
    assert values | functions == module


def test_stub_types_every_cvar_variable_by_its_kind():
    variables = next(node for node in stub_tree().body if isinstance(node, ast.ClassDef))
    fields = {
        node.target.id: ast.unparse(node.annotation) for node in variables.body if isinstance(node, ast.AnnAssign)
    }
    read_only = {node.name: ast.unparse(node.returns) for node in variables.body if isinstance(node, ast.FunctionDef)}
    listed = re.fullmatch(r"Global variables \{ (.*) \}", str(vantrel.cvar)).group(1).split(", ")
    assert list(fields) + list(read_only) == listed  # all 30, in the module's order
    assert set(read_only) == REGISTERS and set(read_only.values()) == {"str"}
    for name, kind in fields.items():
        assert type(getattr(vantrel.cvar, name)).__name__ == kind, name


def test_mypy_checks_a_script_against_the_stub(tmp_path):
    script = tmp_path / "road.py"
    script.write_text(
        "import vantrel\n"
        "vantrel.cvar.width = 5\n"
        "text: bytes = vantrel.GetData()\n"
        "level: int = vantrel.StandardizeColors(3, vantrel.RED)\n"
        "vantrel.cvar.leftPixel = 'NULL'\n"  # read-only: an error
        "vantrel.RemoveNoise('2')\n"
    )  # wrong kind: an error
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(script)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert [int(line.split(":")[1]) for line in errors] == [5, 6], done.stdout


def test_steps_signatures_are_those_of_their_stub():
    import inspect

    from vantrel_clean import _steps

    tree = ast.parse((Path(_steps.__file__).parent / "_steps.pyi").read_text())
    stubbed = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    functions = {name for name in dir(_steps) if callable(getattr(_steps, name)) and not name.startswith("_")}
    assert set(stubbed) == functions
    for name, node in stubbed.items():
        signature = inspect.signature(getattr(_steps, name))
        parameters = list(signature.parameters.values())
        assert [p.name for p in parameters] == [a.arg for a in node.args.posonlyargs], name
        assert all(p.kind is inspect.Parameter.POSITIONAL_ONLY for p in parameters), name
        defaults = [ast.literal_eval(d) for d in node.args.defaults]
        assert [p.default for p in parameters if p.default is not p.empty] == defaults, name
    constants = {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    assert constants == {name for name in dir(_steps) if name.isupper()}
