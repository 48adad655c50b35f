"""Files written out of the application, all or nothing.

The bytes go to a file without a name in the target folder (O_TMPFILE); only when
every byte is written and synced is it given a name, and then renamed over the
target in one step. A killed, cancelled or failed export leaves neither a partial
file nor the old one touched. Where the file system has no unnamed files, a hidden
temporary file beside the target takes its place (a killed process may leave that
one; its name says what it is).
"""

import errno
import os
import secrets

from gemlo.storage.datafile import fsync_folder

TEMP_SUFFIX = ".gemlo-export.part"


class OutputFile:
    """A new file that becomes `path` on `commit()`.

    Write with `write(bytes)` or at positions with `os.pwrite(out.fileno(), ...)`.
    As a context manager, an exception (or a missing commit) discards it.
    """

    def __init__(self, path):
        self.path = os.path.abspath(os.fspath(path))
        self.folder = os.path.dirname(self.path)
        self._hidden = None
        self._fd = None
        if os.path.isdir(self.path):
            raise IsADirectoryError(errno.EISDIR, "a folder has this name", self.path)
        try:
            if not hasattr(os, "O_TMPFILE"):
                raise OSError(errno.EOPNOTSUPP, "no unnamed files")
            self._fd = os.open(self.folder, os.O_TMPFILE | os.O_RDWR, 0o666)
        except OSError as error:
            if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                raise
            self._fd = self._named()
        # O_TMPFILE ignores the umask's view of the mode given; make it a plain file's.
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(self._fd, 0o666 & ~umask)

    def _named(self):
        while True:
            name = f".{os.path.basename(self.path)}.{secrets.token_hex(4)}{TEMP_SUFFIX}"
            hidden = os.path.join(self.folder, name)
            try:
                fd = os.open(hidden, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o666)
            except FileExistsError:
                continue
            self._hidden = hidden
            return fd

    def fileno(self):
        if self._fd is None:
            raise ValueError("the output file was committed or discarded")
        return self._fd

    def write(self, data):
        view = memoryview(data).cast("B")
        while view:
            view = view[os.write(self.fileno(), view) :]

    def reserve(self, size):
        """Claim the disk space now: a full disk fails before the long write, not after."""
        if size <= 0 or not hasattr(os, "posix_fallocate"):
            return
        try:
            os.posix_fallocate(self.fileno(), 0, size)
        except OSError as error:
            if error.errno not in (errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS):
                raise

    def commit(self):
        """Sync the bytes and put the file in place of `path`."""
        fd = self.fileno()
        os.fsync(fd)
        if self._hidden is None:
            # A name of its own first: linkat cannot replace an existing target.
            folder = os.open(self.folder, os.O_RDONLY | os.O_DIRECTORY)
            try:
                while True:
                    name = f".{secrets.token_hex(6)}{TEMP_SUFFIX}"
                    try:
                        os.link(
                            f"/proc/self/fd/{fd}", name, dst_dir_fd=folder, follow_symlinks=True
                        )
                        break
                    except FileExistsError:
                        continue
            finally:
                os.close(folder)
            self._hidden = os.path.join(self.folder, name)
        os.close(fd)
        self._fd = None
        try:
            os.replace(self._hidden, self.path)
        except BaseException:
            self.discard()
            raise
        self._hidden = None
        fsync_folder(self.folder)

    def discard(self):
        """Forget the file; calling it again, or after commit, does nothing."""
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        if self._hidden is not None:
            try:
                os.unlink(self._hidden)
            except FileNotFoundError:
                pass
            self._hidden = None

    def __enter__(self):
        return self

    def __exit__(self, etype, value, tb):
        self.discard()
        return False

    def __del__(self):
        self.discard()
