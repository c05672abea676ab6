import subprocess
import sys

import pytest

import quillfen

NAMES = [
    "__version__",
    "Comparison", "ClustersResult", "Cluster", "BoundingBox", "RowAlignment", "RowSegment", "ShiftBand",
    "thumbnail", "diff_batch", "diff_count_batch", "ssim_batch", "compare_batch",
]
RESULT_CLASSES = ["ClustersResult", "Cluster", "BoundingBox", "RowAlignment", "RowSegment", "ShiftBand"]


def test_module_surface():
    import importlib
    assert quillfen.__version__ == "1.3.1"
    assert quillfen.__all__ == NAMES
    assert quillfen.__doc__ == ""
    assert importlib.import_module("quillfen") is quillfen
    for name in NAMES[1:]:
        assert name in dir(quillfen)


@pytest.mark.parametrize("name", ["Comparison"] + RESULT_CLASSES)
def test_classes_are_final_immutable_builtins(name):
    cls = getattr(quillfen, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.some_attribute = 1
    if name != "Comparison":
        assert cls.__doc__ is None
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            cls()


def test_comparison_text_signature():
    import inspect
    assert quillfen.Comparison.__text_signature__ == "(baseline_png, current_png)"
    assert str(inspect.signature(quillfen.Comparison.diff_count)) == "(self, /, threshold=0.1, include_aa=False)"
    assert quillfen.Comparison.from_rgba.__doc__.endswith("Create a Comparison from pre-decoded RGBA buffers.")


def test_sub_interpreter_import_is_refused(tmp_path):
    out = tmp_path / "result.txt"
    inner = (
        "try:\n"
        "    import quillfen\n"
        "    result = 'imported'\n"
        "except ImportError as e:\n"
        "    result = 'ImportError: ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(result)\n"
    )
    code = f"import _testcapi, quillfen\n_testcapi.run_in_subinterp({inner!r})\nassert quillfen.__version__ == '1.3.1'\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if "No module named '_testcapi'" in proc.stderr:
        pytest.skip("this interpreter has no _testcapi")
    assert proc.returncode == 0, proc.stderr
    assert out.read_text().startswith("ImportError: ")
