"""The wheel and the Debian package's files: what they hold, their version,
and that they import; building the wheel writes nothing into the sources."""

import os
import subprocess
import sys
import zipfile
from dataclasses import dataclass
from pathlib import Path

import pytest

VERSION = os.environ["VARNIK_VERSION"]
SOURCE_PACKAGE = Path(os.environ["PYTHONPATH"]) / "varnik_dio"
PACKAGE_FILES = sorted(path.name for path in SOURCE_PACKAGE.iterdir()
                       if path.suffix == ".py" or path.name == "py.typed")


def imported_version(folder: Path) -> str:
    """varnik_dio.__version__ and where it came from, imported from folder alone."""
    program = "import varnik_dio; print(varnik_dio.__version__, varnik_dio.__file__)"
    result = subprocess.run([sys.executable, "-c", program], env={**os.environ, "PYTHONPATH": str(folder)},
                            check=True, capture_output=True, text=True, timeout=30)
    version, location = result.stdout.split()
    assert Path(location).is_relative_to(folder)
    return version


def source_paths() -> set[Path]:
    """Every file and folder below the sources' bindings/python."""
    return set(SOURCE_PACKAGE.parent.rglob("*"))


@dataclass
class Wheel:
    path: Path
    written_into_the_sources: list[Path]


@pytest.fixture(scope="module")
def wheel() -> Wheel:
    wheel_dir = Path(os.environ["VARNIK_PYTHON_WHEEL_DIR"])
    for old in wheel_dir.glob("*.whl"):
        old.unlink()
    # What a user's own runs left there (__pycache__) is theirs: only what
    # the build adds counts.
    before = source_paths()
    subprocess.run([sys.executable, "-m", "build", "--no-isolation", "--wheel", "--outdir",
                    str(wheel_dir), os.environ["VARNIK_PYTHON_STAGE"]],
                   check=True, capture_output=True, timeout=240)
    (built,) = wheel_dir.glob("*.whl")
    return Wheel(built, sorted(source_paths() - before))


def test_the_wheel_holds_the_package_and_the_products_version(wheel, tmp_path):
    assert wheel.path.name == f"varnik_dio-{VERSION}-py3-none-any.whl"
    with zipfile.ZipFile(wheel.path) as archive:
        names = archive.namelist()
        metadata = archive.read(f"varnik_dio-{VERSION}.dist-info/METADATA").decode()
        archive.extractall(tmp_path)
    assert sorted(name.split("/")[1] for name in names if name.startswith("varnik_dio/")) == PACKAGE_FILES
    assert f"\nVersion: {VERSION}\n" in metadata
    assert imported_version(tmp_path) == VERSION


def test_the_component_installs_the_package_alone_where_python_looks(tmp_path):
    # The build's folder for the package: lib/python3/dist-packages under
    # /usr (the Debian package), lib/python3.X/dist-packages elsewhere.
    folder = os.environ["VARNIK_PYTHON_INSTALL_DIR"]
    assert folder in ("lib/python3/dist-packages",
                      "lib/python%d.%d/dist-packages" % sys.version_info[:2])
    subprocess.run([os.environ["CMAKE_COMMAND"], "--install", os.environ["VARNIK_BUILD_DIR"],
                    "--component", "python3-varnik-dio", "--prefix", str(tmp_path / "prefix")],
                   check=True, capture_output=True, timeout=60)
    dist_packages = tmp_path / "prefix" / folder
    # The copyright file and the changelog come with every package.
    docs = tmp_path / "prefix/share/doc/python3-varnik-dio"
    installed = sorted(str(path.relative_to(tmp_path)) for path in tmp_path.rglob("*")
                       if path.is_file() and docs not in path.parents)
    assert installed == [f"prefix/{folder}/varnik_dio/{name}" for name in PACKAGE_FILES]
    assert imported_version(dist_packages) == VERSION


def test_building_the_wheel_writes_nothing_into_the_sources(wheel):
    assert wheel.written_into_the_sources == []


def test_the_import_leaves_the_costly_standard_modules_out():
    # typing, dataclasses and inspect were most of a 50 ms import; type
    # checkers still read the hints, under "if TYPE_CHECKING". asyncio comes
    # with the first wait_async or watch_async.
    costly = ["asyncio", "dataclasses", "enum", "inspect", "re", "threading", "typing", "weakref"]
    program = f"import sys, varnik_dio; print([name for name in {costly!r} if name in sys.modules])"
    result = subprocess.run([sys.executable, "-c", program], check=True, capture_output=True,
                            text=True, timeout=30)
    assert result.stdout == "[]\n"
