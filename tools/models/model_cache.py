"""Checks of the model directories build_models.py keeps in its cache: what
is damaged in one, named by file, so that the builder can rebuild it.

The cache is the builder's own, so anything in a model directory that the
builder would not have written is damage: an index.json that cannot be read,
is not JSON or is not the index of the bundles it names, an index naming a
bundle that is not there, and a bundle whose manifest cannot be read or whose
files are missing, cannot be read, are of the wrong size or do not match
their SHA-256 digests.

Hashing every bundle on every run would cost seconds (the coreference bundle
alone is 1.4 GB), so the builder records in STAMPS the size and modification
time of each file of a bundle it built or found whole; a later run hashes only
the bundles with a file that changed since.
"""

from __future__ import annotations

import errno
import hashlib
import json
import os
import pathlib
import re
import secrets
import shutil
import stat

STAMPS = ".stamps.json"  # in the model directory's root, beside .complete


class Damage(Exception):
    """What is wrong with one file of the cache, naming it."""

    def __init__(self, path, problem):
        super().__init__(f"{path} {problem}")
        self.path = pathlib.Path(path)


def read_json(path):
    """The JSON value in `path`; Damage when it cannot be read or parsed."""
    try:
        return json.loads(pathlib.Path(path).read_bytes())
    except OSError as error:
        raise Damage(path, f"cannot be read ({error.strerror})") from None
    except (ValueError, RecursionError) as error:  # not UTF-8, not JSON, nested too deep
        raise Damage(path, f"is not JSON ({error})") from None


def index_of(resources_version, language, names):
    """The index the builder writes for the bundles of `names`, each in the
    directory of its processor's name."""
    return {"format": "velmora-model-index", "format_version": 1,
            "resources_version": resources_version, "language": language,
            "bundles": [{"processor": name, "package": "default", "path": name}
                        for name in names]}


def index_text(resources_version, language, names):
    """index_of as JSON, laid out as bundle_writer lays out every JSON file
    (which cannot be imported here without torch, seconds to load)."""
    return json.dumps(index_of(resources_version, language, names), ensure_ascii=False,
                      indent=1, sort_keys=True) + "\n"


def indexed(index_dir, resources_version, language):
    """The processors index.json in `index_dir` names (none when there is no
    index yet); Damage when it is not the index the builder would write for
    them, or names a bundle that is not there (or whose manifest is not)."""
    path = pathlib.Path(index_dir) / "index.json"
    if not os.path.lexists(path):
        return []
    index = read_json(path)
    bundles = index.get("bundles") if isinstance(index, dict) else None
    names = [entry.get("processor") for entry in bundles
             if isinstance(entry, dict)] if isinstance(bundles, list) else []
    if (not all(isinstance(name, str) and name.isidentifier() for name in names)
            or index != index_of(resources_version, language, names)
            or len(set(names)) != len(names)):
        raise Damage(path, "is not the index of the bundles it names")
    for name in names:
        bundle = path.parent / name
        manifest = bundle / "manifest.json"
        if not os.path.isfile(manifest):  # False for any error
            if not os.path.isdir(bundle):
                raise Damage(path, f"names a bundle that is not there: {bundle}")
            if not os.access(bundle, os.R_OK | os.X_OK):
                raise Damage(path, f"names a bundle that cannot be read: {bundle}")
            raise Damage(manifest, "is not a file" if os.path.lexists(manifest) else "is missing")
    return names


def manifest_files(bundle):
    """{file: (size or None, sha256)} of every file the bundle's manifest
    lists (the assets, the tensor file and the artifacts)."""
    path = pathlib.Path(bundle) / "manifest.json"
    manifest = read_json(path)
    try:
        listed = [manifest["assets"], manifest["tensor_file"], *manifest.get("artifacts", [])]
        files = {entry["path"]: (entry.get("size"), entry["sha256"]) for entry in listed}
    except (AttributeError, KeyError, TypeError):
        raise Damage(path, "is not a bundle manifest") from None
    if not all(isinstance(name, str) and isinstance(digest, str)
               and (size is None or isinstance(size, int))
               for name, (size, digest) in files.items()):
        raise Damage(path, "is not a bundle manifest")
    return files


def stamp(bundle, files):
    """[size, mtime] of manifest.json and each of `files`; Damage for a file
    that is missing, not a regular file, unreadable (its mode, which stat
    does not need) or of the wrong size."""
    bundle = pathlib.Path(bundle)
    stamps = {}
    for name, size in [("manifest.json", None)] + [(n, s) for n, (s, _) in files.items()]:
        path = bundle / name
        try:
            info = path.stat()
        except FileNotFoundError:
            raise Damage(path, "is missing") from None
        except OSError as error:
            raise Damage(path, f"cannot be read ({error.strerror})") from None
        if not stat.S_ISREG(info.st_mode):
            raise Damage(path, "is not a file")
        if not os.access(path, os.R_OK):
            raise Damage(path, f"cannot be read ({os.strerror(errno.EACCES)})")
        if size is not None and info.st_size != size:
            raise Damage(path, f"has {info.st_size} bytes, not {size}")
        stamps[name] = [info.st_size, info.st_mtime_ns]
    return stamps


def verify(bundle, files):
    """Damage for the first of `files` whose SHA-256 digest differs."""
    for name, (_, digest) in files.items():
        path = pathlib.Path(bundle) / name
        try:
            with open(path, "rb") as file:
                actual = hashlib.file_digest(file, "sha256").hexdigest()
        except OSError as error:
            raise Damage(path, f"cannot be read ({error.strerror})") from None
        if actual != digest:
            raise Damage(path, "does not match its checksum")


def checked_stamp(bundle, known, hash_changed):
    """The stamp of a whole bundle. A stamp other than `known` (the bundle's
    when it was last found whole) means a file was written since: with
    `hash_changed` its files are then checked against their digests, without
    it the answer is None (not known to be whole). Damage for a bundle that
    is not whole."""
    files = manifest_files(bundle)
    current = stamp(bundle, files)
    if current == known:
        return current
    if not hash_changed:
        return None
    verify(bundle, files)
    return current


def read_stamps(root):
    """The stamps recorded in the model directory `root` ({} when there are
    none or they cannot be read: every bundle is then hashed again)."""
    try:
        stamps = json.loads((pathlib.Path(root) / STAMPS).read_bytes())
    except (OSError, ValueError):
        return {}
    return stamps if isinstance(stamps, dict) else {}


def write_stamps(root, stamps):
    """Records `stamps`, replacing the file whole; the caller holds the
    directory's lock (and so removes what killed writers left)."""
    path = pathlib.Path(root) / STAMPS
    for stale in path.parent.glob(f"{STAMPS}.*"):
        stale.unlink()
    staging = path.with_name(f"{STAMPS}.{os.getpid()}")
    staging.write_text(json.dumps(stamps, sort_keys=True), encoding="utf-8")
    staging.replace(path)


def remove(path):
    """Removes whatever is at `path`: a directory tree, a file or a link. A
    tree with directories that may not be listed or written (chmod 000) is
    the builder's own: they are opened to their owner first."""
    path = pathlib.Path(path)
    if path.is_dir() and not path.is_symlink():
        try:
            shutil.rmtree(path)
        except PermissionError:
            open_up(path)
            shutil.rmtree(path)
    elif os.path.lexists(path):
        path.unlink()


def open_up(directory):
    """Gives the owner every right on `directory` and the directories under
    it."""
    os.chmod(directory, stat.S_IRWXU)
    for entry in os.scandir(directory):
        if entry.is_dir(follow_symlinks=False):
            open_up(entry.path)


# The characters after .<name>- in a work folder's name, eight of them.
WORK_NAME_CHARACTERS = "abcdefghijklmnopqrstuvwxyz0123456789_"


def work_folder_path(parent, name):
    """A path .<name>-XXXXXXXX in `parent` for a work folder, its last eight
    characters drawn at random."""
    suffix = "".join(secrets.choice(WORK_NAME_CHARACTERS) for _ in range(8))
    return pathlib.Path(parent) / f".{name}-{suffix}"


def remove_work_folders(parent, name):
    """Removes the work folders (work_folder_path) in `parent` that a killed
    build left behind; the caller holds the lock under which they are
    made."""
    pattern = re.compile(rf"\.{re.escape(name)}-[{re.escape(WORK_NAME_CHARACTERS)}]{{8}}")
    for entry in pathlib.Path(parent).iterdir():
        if pattern.fullmatch(entry.name) and entry.is_dir() and not entry.is_symlink():
            shutil.rmtree(entry)
