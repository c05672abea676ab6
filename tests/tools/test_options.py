"""The one declaration of every option: the API, the command's flags and the plugin's ini settings agree with it."""
import math
import pickle

import numpy as np
import pytest

import quillfen_tools as qt
from quillfen_tools._options import OPTION_TABLE, Options, declaration, from_text
from quillfen_tools.cli import build_parser


def test_the_table_has_one_shape_and_its_defaults_are_the_options_defaults():
    assert all(set(d) == {"name", "kind", "default", "min", "max", "help"} for d in OPTION_TABLE)
    assert len({d["name"] for d in OPTION_TABLE}) == len(OPTION_TABLE)
    defaults = Options.make()
    for d in OPTION_TABLE:
        if d["name"] != "ignore":
            assert getattr(defaults, d["name"]) == d["default"], d["name"]
    assert (defaults.max_diff_pixels, defaults.max_diff_ratio) == (None, None)


@pytest.mark.parametrize("name", [d["name"] for d in OPTION_TABLE if d["kind"] in ("int", "float")])
def test_every_bound_is_enforced_the_same_way_everywhere(name):
    d = declaration(name)
    for bad in [b for b in (d["min"] is not None and d["min"] - 1, d["max"] is not None and d["max"] + 0.5)
                if b is not False]:
        bad = math.ceil(bad) if d["kind"] == "int" else bad
        with pytest.raises(ValueError, match=name):
            Options.make(**{name: bad})
        with pytest.raises(ValueError, match="expected"):
            from_text(name, str(bad))
    if d["kind"] == "int":
        with pytest.raises(TypeError):
            Options.make(**{name: 1.5})
    with pytest.raises(TypeError):
        Options.make(**{name: True})
    for good in (d["min"], d["max"]):
        if good is not None:
            assert getattr(Options.make(**{name: good}), name) == good


def test_the_command_line_flags_come_from_the_table(capsys):
    parser = build_parser()
    with pytest.raises(SystemExit):
        parser.parse_args(["dirs", "--help"])
    help_text = " ".join(capsys.readouterr().out.split())
    for name in ("threshold", "max_diff_pixels", "max_diff_ratio", "max_pixels", "thumbnails", "jobs"):
        assert "--" + name.replace("_", "-") in help_text
    assert "(default: 0.1)" in help_text and "(default: 100_000_000)" in help_text
    with pytest.raises(SystemExit):
        parser.parse_args(["compare", "a.png", "b.png", "--threshold", "1.5"])
    assert "expected a number in the range [0.0, 1.0], got '1.5'" in capsys.readouterr().err
    args = parser.parse_args(["compare", "a.png", "b.png", "--max-diff-ratio", "0.25"])
    assert (args.max_diff_ratio, args.threshold, args.max_diff_pixels) == (0.25, None, None)


def test_options_pickle_with_their_mask_for_the_workers():
    mask = np.zeros((3, 4), np.uint8)
    mask[1, 2] = 1
    opts = Options.make(ignore=mask, threshold=0.3)
    back = pickle.loads(pickle.dumps(opts))
    assert back.threshold == 0.3 and bytes(back.mask.data) == mask.tobytes()
    assert (back.mask.width, back.mask.height) == (4, 3)
    assert opts.replace(allow_shift=True).allow_shift and opts.replace(allow_shift=True).mask is opts.mask
    with pytest.raises(TypeError, match="unknown option"):
        Options.make(treshold=0.2)
    with pytest.raises(TypeError, match="threshold"):
        qt.compare_many([], treshold=0.2)
