"""The module as the interpreter sees it."""

import ast
import os
import shutil
import subprocess
import sys
import types

import pytest

import zelk_native

FUNCTIONS = {
    "encode_bytes": "(data, predictor_id=0, weights=None)",
    "decode_bytes": "(data, predictor_id=0, weights=None)",
    "compress_adaptive": "(data, predictor_id=0, weights=None)",
    "get_residuals_py": "(_data, _predictor_id=0, _weights=None)",
    "compress_matrix_v1": "(data, rows, cols, threshold)",
}

SECOND_INIT = (
    "Native modules compiled for CPython 3.8 or older may only be initialized once per "
    "interpreter process"
)


def test_all_lists_the_six_names_in_order_of_addition():
    assert type(zelk_native.__all__) is list
    assert zelk_native.__all__ == [
        "encode_bytes",
        "decode_bytes",
        "compress_adaptive",
        "get_residuals_py",
        "compress_matrix_v1",
        "__version__",
    ]
    assert all(type(name) is str for name in zelk_native.__all__)


def test_version_and_docstring():
    assert type(zelk_native.__version__) is str
    assert zelk_native.__version__ == "21.0.0"
    assert zelk_native.__doc__ == "ZELK native extension module exported to Python."
    assert zelk_native.__name__ == "zelk_native"


def test_star_import_gives_exactly_all():
    namespace = {}
    exec("from zelk_native import *", namespace)
    namespace.pop("__builtins__")
    assert sorted(namespace) == sorted(zelk_native.__all__)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(name):
    function = getattr(zelk_native, name)
    assert type(function) is types.BuiltinFunctionType
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__text_signature__ == FUNCTIONS[name]
    assert function.__doc__ is None
    assert function.__module__ == "zelk_native"
    assert function.__self__ is zelk_native


def test_signatures_through_inspect():
    import inspect

    sig = inspect.signature(zelk_native.compress_matrix_v1)
    assert list(sig.parameters) == ["data", "rows", "cols", "threshold"]
    sig = inspect.signature(zelk_native.get_residuals_py)
    assert [p.default for p in sig.parameters.values()] == [inspect.Parameter.empty, 0, None]


def test_internal_fault_is_not_a_module_attribute():
    assert not hasattr(zelk_native, "InternalFault")
    assert "InternalFault" not in dir(zelk_native)
    assert "zelk_runtime" not in sys.modules


def test_module_attributes_are_only_the_stated_ones():
    public = {n for n in dir(zelk_native) if not n.startswith("__")}
    assert public == set(FUNCTIONS)


def test_second_initialisation_by_reimport_fails_and_first_module_still_works(run_python):
    result = run_python(
        """
        import sys
        import zelk_native
        first = zelk_native
        del sys.modules["zelk_native"]
        try:
            import zelk_native
        except ImportError as e:
            print("ImportError:", type(e) is ImportError, str(e))
        else:
            print("no error")
        print("in sys.modules:", "zelk_native" in sys.modules)
        print("first works:", first.get_residuals_py(b"x"), first.__version__, first.__all__[0])
        """
    )
    lines = result.stdout.splitlines()
    assert lines[0] == "ImportError: True " + SECOND_INIT
    assert lines[1] == "in sys.modules: False"
    assert lines[2] == "first works: [] 21.0.0 encode_bytes"
    assert result.stderr == ""


def test_second_call_of_the_init_function_fails(run_python):
    # Calls PyInit_zelk_native itself a second time (ctypes.PyDLL keeps the GIL
    # and raises the exception the function set when it returns NULL).
    result = run_python(
        """
        import ctypes
        import zelk_native
        init = ctypes.PyDLL(zelk_native.__file__).PyInit_zelk_native
        init.restype = ctypes.py_object
        for attempt in range(2):
            try:
                init()
            except ImportError as e:
                print(type(e).__name__, str(e))
        print(zelk_native.get_residuals_py(b"abc", 255, b""), zelk_native.__all__[-1])
        """
    )
    lines = result.stdout.splitlines()
    assert lines == ["ImportError " + SECOND_INIT] * 2 + ["[] __version__"]


def test_first_initialisation_by_the_init_function(run_python):
    # Without a prior import, a direct call is the first initialisation: it
    # returns the module, and a later import is the second one.
    result = run_python(
        """
        import ctypes, importlib.util, sys
        argspec = importlib.util.find_spec("zelk_native")
        init = ctypes.PyDLL(argspec.origin).PyInit_zelk_native
        init.restype = ctypes.py_object
        module = init()
        print(type(module).__name__, module.__name__, module.__version__)
        print(module.get_residuals_py(b"x"))
        try:
            import zelk_native
        except ImportError as e:
            print("ImportError", str(e))
        """
    )
    lines = result.stdout.splitlines()
    assert lines[0] == "module zelk_native 21.0.0"
    assert lines[1] == "[]"
    assert lines[2] == "ImportError " + SECOND_INIT


def test_stub_file_names_every_function():
    # Installed as a stub-only package, where type checkers look; beside the
    # extension in a build tree.
    folder = os.path.dirname(zelk_native.__file__)
    stubs = [os.path.join(folder, "zelk_native-stubs", "__init__.pyi"), os.path.join(folder, "zelk_native.pyi")]
    stub = next((path for path in stubs if os.path.exists(path)), None)
    assert stub, stubs
    with open(stub, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert set(functions) == set(FUNCTIONS)
    for name, node in functions.items():
        names = [a.arg for a in node.args.args]
        expected = [p.split("=")[0].strip() for p in FUNCTIONS[name][1:-1].split(",")]
        assert names == expected, name
        defaults = [ast.literal_eval(d) for d in node.args.defaults]
        expected_defaults = [
            ast.literal_eval(p.split("=")[1]) for p in FUNCTIONS[name][1:-1].split(",") if "=" in p
        ]
        assert defaults == expected_defaults, name
    annotated = {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    assert "__version__" in annotated
    assigned = {
        node.targets[0].id: ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign)
    }
    assert assigned["__all__"] == zelk_native.__all__


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_the_extension_exports_only_its_init_function():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", zelk_native.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_zelk_native"]
