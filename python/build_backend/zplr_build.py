"""Builds the wheel and the source archive of the package `zplr`.

Standard library only: pip needs nothing from an index to build it.
"""
import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

NAME = "zplr"
SUMMARY = "The ZL telephone-line box from Python, over zPLR's C interface"
REQUIRES_PYTHON = ">=3.7"
TAG = "py3-none-any"
# What the package directory may hold besides its modules: the marker and a
# library copied beside the package.
DATA = re.compile(r".*\.(py|typed|so|so\.[0-9.]+|dll|dylib)$")

_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _version():
    with open(os.path.join(_HERE, NAME, "__init__.py"), encoding="utf-8") as f:
        found = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M)
    if not found:
        raise RuntimeError("zplr/__init__.py holds no __version__")
    return found.group(1)


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nRequires-Python: %s\n"
            % (NAME, _version(), SUMMARY, REQUIRES_PYTHON))


def _package_files():
    top = os.path.join(_HERE, NAME)
    for folder, dirs, files in os.walk(top):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(files):
            if DATA.match(name):
                path = os.path.join(folder, name)
                yield path, os.path.relpath(path, _HERE).replace(os.sep, "/")


def _dist_info():
    return "%s-%s.dist-info" % (NAME, _version())


def _wheel(directory, contents):
    """Writes a wheel of `contents` (archive name, bytes) with its RECORD."""
    name = "%s-%s-%s.whl" % (NAME, _version(), TAG)
    info = _dist_info()
    entries = list(contents) + [
        (info + "/METADATA", _metadata().encode()),
        (info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: zplr_build\nRoot-Is-Purelib: true\n"
                           "Tag: %s\n" % TAG).encode()),
    ]
    record = []
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as z:
        for arcname, data in entries:
            z.writestr(zipfile.ZipInfo(arcname, (1980, 1, 1, 0, 0, 0)), data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            record.append("%s,sha256=%s,%d" % (arcname, digest, len(data)))
        record.append(info + "/RECORD,,")
        z.writestr(zipfile.ZipInfo(info + "/RECORD", (1980, 1, 1, 0, 0, 0)), "\n".join(record) + "\n")
    return name


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info = os.path.join(metadata_directory, _dist_info())
    os.makedirs(info, exist_ok=True)
    with open(os.path.join(info, "METADATA"), "w", encoding="utf-8") as f:
        f.write(_metadata())
    return _dist_info()


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _wheel(wheel_directory, ((arc, _read(path)) for path, arc in _package_files()))


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The installed package is this tree's: a path entry pointing here.
    return _wheel(wheel_directory, [("%s.pth" % NAME, (_HERE + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, _version())
    name = base + ".tar.gz"
    files = [(path, arc) for path, arc in _package_files()]
    files += [(os.path.join(_HERE, f), f) for f in ("pyproject.toml", "build_backend/zplr_build.py")]
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as t:
        for path, arc in files:
            t.add(path, arcname=base + "/" + arc, recursive=False)
        data = _metadata().encode()
        pkg_info = tarfile.TarInfo(base + "/PKG-INFO")
        pkg_info.size = len(data)
        t.addfile(pkg_info, io.BytesIO(data))
    return name
