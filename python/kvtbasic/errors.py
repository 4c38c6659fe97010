"""Exceptions of the package: one per result code of the library."""

from __future__ import annotations

from typing import Dict, Optional, Type


class KvtError(Exception):
    """A call into the library failed.

    ``code`` is the library's result code (``KVT_RESULT_*``), or ``None`` for
    failures found by the package itself; ``function`` names the call.
    """

    code: Optional[int] = None

    def __init__(self, message: str, *, code: Optional[int] = None, function: str = "") -> None:
        super().__init__(message)
        if code is not None:
            self.code = code
        self.function = function


class Failed(KvtError):
    """KVT_RESULT_FAILED (-1): the operation did not succeed."""

    code = -1


class NotRunning(KvtError):
    """KVT_RESULT_NOT_RUNNING (-2): the library is not started."""

    code = -2


class TooSmall(KvtError):
    """KVT_RESULT_TOO_SMALL (-3): a buffer was too small."""

    code = -3


class NoCallback(KvtError):
    """KVT_RESULT_NO_CALLBACK (-4): the call needs the library's callback."""

    code = -4


class BadArgument(KvtError):
    """KVT_RESULT_BAD_ARGUMENT (-5): an argument was missing or malformed."""

    code = -5


class StartFailed(KvtError):
    """KVT_RESULT_START_FAILED (-6): another device manager runs on this machine."""

    code = -6


class NoAlgorithm(KvtError):
    """KVT_RESULT_NO_ALGORITHM (-7): no fingerprint algorithm is loaded."""

    code = -7


class CaptureTimeout(KvtError, TimeoutError):
    """An asynchronous capture ended without a finger (KVT_MSG_TIMEOUT)."""


class CaptureCancelled(KvtError):
    """An asynchronous capture was cancelled (KVT_MSG_CAPTURE_CANCELLED)."""


class LibraryNotFound(KvtError, OSError):
    """The shared library could not be found or loaded."""


class TemplateFormatError(KvtError, ValueError):
    """Template bytes that are not a valid template or standard record."""


_BY_CODE: Dict[int, Type[KvtError]] = {
    cls.code: cls  # type: ignore[misc]
    for cls in (Failed, NotRunning, TooSmall, NoCallback, BadArgument, StartFailed, NoAlgorithm)
}


def error_for(code: int, function: str) -> KvtError:
    """The exception for a result code returned by ``function``."""
    cls = _BY_CODE.get(code, KvtError)
    name = cls.__name__ if cls is not KvtError else "unknown result"
    return cls(f"{function} returned {code} ({name})", code=code, function=function)


def check(code: int, function: str) -> int:
    """Raises the exception for ``code`` unless it is 0 (OK)."""
    if code != 0:
        raise error_for(code, function)
    return code
