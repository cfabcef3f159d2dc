"""Output files written by the package itself (pelmo read --out), by the rules
the library follows for its own image files:

- a symbolic link is followed only where the kernel's rule for shared folders
  would follow it: not when it sits in a sticky world-writable folder (such as
  /tmp) and belongs neither to the user nor to the folder's owner;
- through a link only a regular file is written: a link to a device, FIFO,
  socket or folder is refused;
- a device or FIFO named directly is written in place (opened without blocking,
  so a FIFO nobody reads fails at once); a folder, socket or block device is
  refused;
- an existing file is replaced only when the user may write it, through a
  temporary file in the same folder renamed over it, so that a failure leaves the
  old file as it was. The new file keeps the old one's permissions. A file with
  more than one hard link is written in place instead (a rename would leave its
  other names with the old contents), its old contents put back on a failure.
"""
from __future__ import annotations

import errno
import os
import stat
import tempfile
from typing import Union

from .errors import ImageFileError

_MAX_LINKS = 40

# The temporary files being written now, for an exit that cannot wait (a second
# Ctrl+C) to remove.
_temporaries: set[str] = set()


def remove_temporaries() -> None:
    """Removes the temporary files of writes under way (before an immediate exit)."""
    for temp in list(_temporaries):
        try:
            os.unlink(temp)
        except OSError:
            pass


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"), (stat.S_ISDIR, "a directory")):
        if test(mode):
            return name
    return "not a regular file"


def _refused(why: str) -> ImageFileError:
    return ImageFileError(f"ERROR OPENING OUTPUT FILE ({why})")


def _may_follow(link: str, link_stat: os.stat_result) -> bool:
    folder = os.path.dirname(link) or "."
    try:
        st = os.stat(folder)
    except OSError:
        return False
    shared = bool(st.st_mode & stat.S_ISVTX) and bool(st.st_mode & stat.S_IWOTH)
    return not shared or link_stat.st_uid in (os.geteuid(), st.st_uid)


def output_target(name: Union[str, bytes]) -> tuple[str, "os.stat_result | None"]:
    """The path to write for `name` (its last link resolved) and what is there
    now (None for a new file); raises ImageFileError when the rules refuse it."""
    path = os.fsdecode(name)
    if not path:
        raise _refused(os.strerror(errno.ENOENT))
    links = 0
    while True:
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            return path, None  # a new file, also at the end of a dangling link
        except OSError as e:
            raise _refused(e.strerror) from None
        if not stat.S_ISLNK(st.st_mode):
            break
        if not _may_follow(path, st):
            raise _refused(f"{path} is a link in a shared sticky folder, owned by another user: not followed")
        links += 1
        if links > _MAX_LINKS:
            raise _refused(os.strerror(errno.ELOOP))
        target = os.readlink(path)
        path = target if os.path.isabs(target) else os.path.join(os.path.dirname(path), target)
    if not stat.S_ISREG(st.st_mode):
        if links:
            raise _refused(f"{os.fsdecode(name)} is a link to {_kind(st.st_mode)}, not to a regular file")
        if not (stat.S_ISCHR(st.st_mode) or stat.S_ISFIFO(st.st_mode)):
            raise _refused(f"Is {_kind(st.st_mode)}, not a regular file")
    if not os.access(path, os.W_OK):
        raise _refused(os.strerror(errno.EACCES))
    return path, st


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _sync(fd: int) -> None:
    try:
        os.fsync(fd)
    except OSError as e:
        if e.errno not in (errno.EINVAL, errno.EROFS):
            raise


def _in_place(path: str, data: bytes) -> None:
    """A device or FIFO: written as it is, without blocking on a FIFO nobody reads."""
    fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        os.set_blocking(fd, True)
        _write_all(fd, data)
    finally:
        os.close(fd)


def _beside(path: str, what: str) -> tuple[int, str]:
    fd, temp = tempfile.mkstemp(prefix=f".pelmo-{what}-", dir=os.path.dirname(path) or ".")
    _temporaries.add(temp)
    return fd, temp


def _gone(temp: str) -> None:
    try:
        os.unlink(temp)
    except FileNotFoundError:
        pass
    _temporaries.discard(temp)


def _hard_linked(path: str, data: bytes) -> None:
    """A file with other names: a copy of its old contents beside it, then the file
    written in place; the copy goes back on a failure."""
    fd = os.open(path, os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        keep_fd, keep = _beside(path, "keep")
        try:
            with open(fd, "rb", closefd=False) as old:
                _write_all(keep_fd, old.read())
            _sync(keep_fd)
            try:
                os.lseek(fd, 0, os.SEEK_SET)
                os.ftruncate(fd, 0)
                _write_all(fd, data)
                _sync(fd)
            except BaseException:
                os.lseek(keep_fd, 0, os.SEEK_SET)
                old_data = os.read(keep_fd, os.fstat(keep_fd).st_size)
                os.lseek(fd, 0, os.SEEK_SET)
                os.ftruncate(fd, 0)
                _write_all(fd, old_data)
                raise
        finally:
            os.close(keep_fd)
            _gone(keep)
    finally:
        os.close(fd)


def write_output(name: Union[str, bytes], data: bytes) -> str:
    """Writes `data` to the output file `name` by the rules above; returns the
    path written. Raises ImageFileError, in the library's words, when the rules
    refuse the name or the system fails the write (the old file is then as it was)."""
    path, st = output_target(name)
    try:
        return _write(path, st, data)
    except OSError as e:
        raise ImageFileError(f"OUTPUT DISK WRITE ERROR ({e.strerror})") from None


def _write(path: str, st: "os.stat_result | None", data: bytes) -> str:
    if st is not None and not stat.S_ISREG(st.st_mode):
        _in_place(path, data)
        return path
    if st is not None and st.st_nlink > 1:
        _hard_linked(path, data)
        return path
    fd, temp = _beside(path, "new")
    try:
        try:
            if st is not None:
                try:
                    os.fchown(fd, st.st_uid, st.st_gid)
                except OSError:
                    pass  # kept as the process's own: all a user can give
                os.fchmod(fd, stat.S_IMODE(st.st_mode))
            else:
                umask = os.umask(0)
                os.umask(umask)
                os.fchmod(fd, 0o666 & ~umask)
            _write_all(fd, data)
            _sync(fd)
        finally:
            os.close(fd)
        os.rename(temp, path)
        _temporaries.discard(temp)
    except BaseException:
        _gone(temp)
        raise
    return path
