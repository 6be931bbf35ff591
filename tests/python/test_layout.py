"""The source tree keeps the layering docs/layout.md describes: every name
says which unit it is, every #include points downwards, and the guide and the
interop layer's interface name every file of that layer."""

import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
# Lowest first; a folder includes only itself and those before it.
FOLDERS = ["core", "factories", "interop", "module"]
CORE_LAYERS = ["primitives", "misuse", "storage", "text", "operations"]
INCLUDE = re.compile(r'^#include "([a-z_]+)/(?:([a-z_]+)/)?', re.MULTILINE)


def test_no_base_name_lives_in_two_folders():
    folders_of = {}
    for path in SRC.rglob("*"):
        if path.is_file() and path.name != "README.md":
            folders_of.setdefault(path.name.split(".")[0], set()).add(path.parent)
    assert {name: folders for name, folders in folders_of.items() if len(folders) > 1} == {}


def test_every_include_points_to_its_own_layer_or_below():
    assert sorted(p.name for p in (SRC / "core").iterdir()) == sorted(CORE_LAYERS)
    for layer in CORE_LAYERS:
        assert (SRC / "core" / layer / "README.md").read_text().count("\n") == 1, layer
    for path in SRC.rglob("*"):
        if path.suffix not in (".h", ".cpp", ".inc"):
            continue
        folder, *rest = path.relative_to(SRC).parts
        for target, layer in INCLUDE.findall(path.read_text()):
            assert FOLDERS.index(target) <= FOLDERS.index(folder), (path, target)
            if folder == target == "core":
                assert CORE_LAYERS.index(layer) <= CORE_LAYERS.index(rest[0]), (path, layer)


def test_the_layout_guide_and_interop_h_name_every_interop_file():
    files = sorted(path.name for path in (SRC / "interop").iterdir())
    layout = (SRC.parent / "docs" / "layout.md").read_text()
    interface = (SRC / "interop" / "interop.h").read_text()
    assert [name for name in files if f"`{name}`" not in layout] == []
    assert [name for name in files if name.endswith(".cpp") and name not in interface] == []
