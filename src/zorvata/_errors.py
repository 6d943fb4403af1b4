"""The client's exceptions. All derive from `DataError`, itself a `ValueError`."""

__all__ = ["DataError", "DateOutOfRange", "UnknownInstrument", "ValidationError", "AccessError"]


class DataError(ValueError):
    """A request the market database cannot answer: malformed input, an unknown id where one is required,
    no data for the date asked."""


class DateOutOfRange(DataError):
    """A date (or a date reached by an offset) lies outside the store's trading calendar or data."""


class UnknownInstrument(DataError):
    """An order_book_id the store does not know, where a known one is required."""


class ValidationError(DataError):
    """An input file was rejected by the importer. `path` and `row` (1-based data row, None for the file as a
    whole) name the offending place."""

    def __init__(self, message: str, path=None, row=None):
        super().__init__(message)
        self.path = path
        self.row = row


class AccessError(DataError):
    """A file the store or its estimates live in could not be written, replaced or locked (a read-only
    directory, a full disk, a file-size limit, a file system without locks). The message is one line naming
    the file and what to do; whatever was there before is unchanged. `path` names the file."""

    def __init__(self, message: str, path=None):
        super().__init__(message)
        self.path = path


def access_error(e: BaseException, path, what: str, hint: str = "") -> AccessError:
    """An `AccessError` in one line for the OS or DuckDB failure `e` while `what` (e.g. "write the database"),
    naming `path` and, for a full disk, what to free."""
    import errno

    text = str(e)
    code = getattr(e, "errno", None)
    full = code in (errno.ENOSPC, errno.EFBIG, errno.EDQUOT) or any(
        k in text for k in ("No space left", "File too large", "Disk quota"))
    if full:
        reason = "the disk is full or a file-size limit was reached"
        todo = "free space (an append needs room for a whole copy of the database) and run again"
    elif code in (errno.EACCES, errno.EPERM, errno.EROFS) or isinstance(e, PermissionError):
        reason = f"permission denied ({getattr(e, 'strerror', None) or text})"
        todo = "ask for write access to its directory or write elsewhere"
    elif code == errno.ENOLCK:
        reason = "the file system does not support locks"
        todo = "keep the database on a local file system"
    else:
        reason = getattr(e, "strerror", None) or (text.splitlines()[0] if text else type(e).__name__)
        todo = "check the file and its directory"
    return AccessError(f"cannot {what} {path}: {reason}; {todo}{'; ' + hint if hint else ''}; nothing was changed",
                       path)
