"""Tar archives compressed with zelk as formats of ``shutil``'s archive
functions."""
from __future__ import annotations

import os
import shutil
import tarfile
from typing import Any, Optional

from ._file import ZelkFile

ARCHIVE_FORMAT = "zelktar"
ARCHIVE_SUFFIXES = [".tar.zlk", ".tzlk"]


def _make_tarball(base_name: str, base_dir: str, verbose: int = 0, dry_run: int = 0,
                  owner: Optional[str] = None, group: Optional[str] = None,
                  logger: Any = None, root_dir: Optional[str] = None) -> str:
    archive_name = os.fspath(base_name) + ARCHIVE_SUFFIXES[0]
    if logger is not None:
        logger.info("Creating tar archive %s", archive_name)
    if dry_run:
        return archive_name

    def set_owner(info: tarfile.TarInfo) -> tarfile.TarInfo:
        if owner is not None:
            info.uname, info.uid = owner, 0
        if group is not None:
            info.gname, info.gid = group, 0
        return info

    with ZelkFile(archive_name, "w") as compressed, tarfile.open(fileobj=compressed, mode="w|") as tar:
        source = base_dir if root_dir is None else os.path.join(root_dir, base_dir)
        tar.add(source, arcname=base_dir, filter=set_owner)
    return archive_name


_make_tarball.supports_root_dir = True  # type: ignore[attr-defined]


def _unpack_tarball(filename: str, extract_dir: str, *, filter: Any = None) -> None:
    with ZelkFile(filename) as compressed, tarfile.open(fileobj=compressed, mode="r|") as tar:
        if hasattr(tarfile, "data_filter"):
            # Python's safe extraction filter unless the caller chose another.
            tar.extractall(extract_dir, filter=filter if filter is not None else "data")
        else:
            tar.extractall(extract_dir)


def register_archive_formats() -> None:
    """Make ``shutil.make_archive(base, "zelktar", ...)`` write ``base.tar.zlk``
    and ``shutil.unpack_archive()`` read ``.tar.zlk`` and ``.tzlk`` files.
    Extraction uses tarfile's "data" filter unless another is given."""
    shutil.register_archive_format(ARCHIVE_FORMAT, _make_tarball, description="zelk'ed tar-file")
    if ARCHIVE_FORMAT not in {name for name, _, _ in shutil.get_unpack_formats()}:
        shutil.register_unpack_format(ARCHIVE_FORMAT, ARCHIVE_SUFFIXES, _unpack_tarball,
                                      description="zelk'ed tar-file")
