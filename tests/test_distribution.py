"""What the installed distribution tells pip and a package index: the wheel's
tags against the modules it carries, the Python requirement, the extras, the
entry points, the licence and the files it installs."""

import ast
import importlib.machinery
import importlib.metadata
import importlib.util
import pathlib
import platform
import re
import sys

import trove_classifiers
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet
from packaging.tags import sys_tags
from packaging.utils import canonicalize_name

import qarn

DIST = importlib.metadata.distribution("qarn")
META = DIST.metadata

# Console scripts the package may declare, with their targets. A script the
# package declares must be listed here; a listed script whose module exists
# must be declared.
CONSOLE_SCRIPTS = {"qarn": "qarn.cli:main"}

# Extras that are tools rather than features of the package.
TOOL_EXTRAS = {"test", "bench"}


def wheel_field(name):
    return [line.split(":", 1)[1].strip() for line in DIST.read_text("WHEEL").splitlines()
            if line.startswith(name + ":")]


def extension_modules():
    return [f for f in DIST.files if f.name.endswith(".so")]


def requirement_names(extra):
    names = set()
    for text in META.get_all("Requires-Dist") or []:
        requirement = Requirement(text)
        if requirement.marker is not None and requirement.marker.evaluate({"extra": extra}):
            names.add(canonicalize_name(requirement.name))
    return names


def requirements_of(metadata, extras):
    for text in metadata.get_all("Requires-Dist") or []:
        requirement = Requirement(text)
        if requirement.marker is None or any(requirement.marker.evaluate({"extra": e}) for e in extras or {""}):
            yield requirement


def brought_by(extra):
    """The distributions `pip install 'qarn[extra]'` installs, followed
    through the metadata of those installed here."""
    names, seen = set(), set()
    todo = list(requirements_of(META, {extra}))
    while todo:
        requirement = todo.pop()
        key = (canonicalize_name(requirement.name), frozenset(requirement.extras))
        if key in seen:
            continue
        seen.add(key)
        names.add(key[0])
        try:
            todo += requirements_of(importlib.metadata.metadata(requirement.name), requirement.extras)
        except importlib.metadata.PackageNotFoundError:
            pass
    return names


def distribution_of(module):
    top = module.split(".")[0]
    found = importlib.metadata.packages_distributions().get(top)
    return canonicalize_name(found[0] if found else top)


# ------------------------------------------------------------ wheel tags


def test_the_wheel_tags_promise_only_what_its_modules_were_built_for():
    tags = wheel_field("Tag")
    assert tags
    assert wheel_field("Root-Is-Purelib") == ["false"]
    modules = extension_modules()
    assert sorted(pathlib.PurePath(m).name.split(".")[0] for m in modules) == ["_native", "_qarn"]
    suffixes = {"." + m.name.split(".", 1)[1] for m in modules}
    # This interpreter imports them...
    assert suffixes <= set(importlib.machinery.EXTENSION_SUFFIXES)
    version_specific = any(not s.endswith(".abi3.so") for s in suffixes)
    this_interpreter = f"cp{sys.version_info.major}{sys.version_info.minor}"
    supported = {str(tag) for tag in sys_tags()}
    for tag in tags:
        interpreter, abi, plat = tag.split("-")
        # ... and would have chosen this wheel.
        assert tag in supported, tag
        if version_specific:
            # A module named for one CPython version must not be offered to
            # later ones under the stable ABI.
            assert interpreter == this_interpreter and abi == this_interpreter + sys.abiflags, tag
        assert re.fullmatch(r"(linux|manylinux_\d+_\d+|musllinux_\d+_\d+)_" + platform.machine(), plat), tag


def test_the_python_requirement_admits_the_tagged_interpreter_and_the_classifiers():
    requires = SpecifierSet(META["Requires-Python"])
    assert requires.contains(platform.python_version())
    tagged = {tag.split("-")[0] for tag in wheel_field("Tag")}
    classified = [c.rsplit(" :: ", 1)[1] for c in META.get_all("Classifier")
                  if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
    assert classified
    for version in classified:
        assert requires.contains(version + ".0"), version
    for interpreter in tagged:
        assert f"{interpreter[2]}.{interpreter[3:]}" in classified, interpreter


# ------------------------------------------------- what an index shows


def test_the_index_page_has_a_summary_known_classifiers_and_the_licence():
    summary = META["Summary"]
    assert summary and "\n" not in summary and len(summary) <= 200
    assert META["Description-Content-Type"].startswith("text/markdown")
    # The README is the description, and it starts by saying how to install.
    headings = re.findall(r"^## (.+)$", META.get_payload(), flags=re.MULTILINE)
    assert headings[:2] == ["Install", "Quick start"]
    assert META["Keywords"]
    unknown = [c for c in META.get_all("Classifier") if c not in trove_classifiers.classifiers]
    assert unknown == []
    # The licence is an SPDX expression, and the text it names ships with the wheel.
    assert META["License-Expression"] == "MIT"
    assert not any(c.startswith("License ::") for c in META.get_all("Classifier"))
    assert META.get_all("License-File") == ["LICENSE"]
    text = DIST.read_text("licenses/LICENSE")
    assert text.startswith("MIT License") and "Permission is hereby granted" in text


# ------------------------------------------------------------- extras


def test_each_extra_installs_something_and_the_test_extra_covers_the_features():
    extras = set(META.get_all("Provides-Extra"))
    assert TOOL_EXTRAS <= extras
    for extra in extras:
        assert requirement_names(extra), extra
    # No optional feature goes untested for want of its library.
    for extra in extras - TOOL_EXTRAS:
        assert requirement_names(extra) <= requirement_names("test"), extra
    assert {"pytest", "hypothesis"} <= requirement_names("test")


def test_every_extra_the_package_asks_for_exists_and_installs_the_module():
    # qarn._optional.require(module, extra, purpose) tells the user to
    # `pip install 'qarn[extra]'` when the module is missing.
    package = pathlib.Path(qarn.__file__).parent
    asked = set()
    for source in sorted(package.rglob("*.py")):
        for node in ast.walk(ast.parse(source.read_text(encoding="utf-8"))):
            if (isinstance(node, ast.Call) and getattr(node.func, "id", getattr(node.func, "attr", None)) == "require"
                    and len(node.args) >= 2 and all(isinstance(a, ast.Constant) for a in node.args[:2])):
                asked.add((node.args[0].value, node.args[1].value))
    assert {("pyarrow", "arrow"), ("pandas", "pandas"), ("polars", "polars")} <= asked
    extras = set(META.get_all("Provides-Extra"))
    for module, extra in sorted(asked):
        assert extra in extras, (module, extra)
        assert distribution_of(module) in brought_by(extra), (module, extra)


# ------------------------------------------------------- entry points


def test_console_scripts_are_the_known_ones_and_load():
    scripts = {ep.name: ep for ep in DIST.entry_points if ep.group == "console_scripts"}
    for name, entry in scripts.items():
        assert CONSOLE_SCRIPTS.get(name) == entry.value, name
        assert callable(entry.load()), name
        installed = [f for f in DIST.files if f.name == name and "bin" in f.parts]
        assert installed and DIST.locate_file(installed[0]).exists(), name
    for name, target in CONSOLE_SCRIPTS.items():
        if importlib.util.find_spec(target.split(":")[0]) is not None:
            assert name in scripts, f"{target} exists but no {name!r} script is declared"
    assert not [ep for ep in DIST.entry_points if ep.group == "gui_scripts"]


# ------------------------------------------------------ installed files


def test_the_wheel_installs_the_modules_package_and_stubs_and_no_sources_or_tests():
    files = {f.as_posix() for f in DIST.files}
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    for required in ("_qarn.pyi", "qarn/__init__.py", "qarn/py.typed", "qarn/_native.pyi",
                     "_qarn" + suffix, "qarn/_native" + suffix):
        assert required in files, required
    dist_info = f"qarn-{DIST.version}.dist-info"
    for path in files:
        parts = pathlib.PurePosixPath(path).parts
        if parts[0] == dist_info or (parts[0] == ".." and path.rsplit("/", 2)[-2] == "bin"):
            continue
        if parts[0] in ("_qarn.pyi", "_qarn" + suffix):
            continue
        assert parts[0] == "qarn", path
        assert not {"tests", "fuzz", "bench", "corpus", "src"} & set(parts), path
        assert not parts[-1].startswith("test_"), path
        assert re.search(r"(\.py|\.pyi|\.pyc|/py\.typed|\.so)$", path), path


def test_the_imported_package_is_the_version_installed():
    assert qarn.__version__ == DIST.version == META["Version"]
