"""ctypes view of the library's C interface (include/kvt/KVTBasic.h, KVTSimulator.h)."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional, Type, TypeVar

from .errors import LibraryNotFound

_WINDOWS = sys.platform == "win32"
_FILE_NAMES = ["KVTBasic.dll"] if _WINDOWS else ["libkvtbasic.so.2", "libkvtbasic.so"]

# Message types (KVT_MSG_*).
MSG_UNSPECIFIED = 0
MSG_NEW_DEVICE = 1
MSG_LOST_DEVICE = 2
MSG_CAPTURED_IMAGE = 3
MSG_TIMEOUT = 4
MSG_CAPTURE_CANCELLED = 5
MSG_GOING_OFFLINE = 6


class DeviceInfo(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_int),
        ("deviceId", ctypes.c_char * 256),
        ("firmwareVersion", ctypes.c_char * 101),
        ("connectionType", ctypes.c_int),
        ("deviceType", ctypes.c_int),
        ("description", ctypes.c_char * 256),
        ("serialNumber", ctypes.c_char * 101),
    ]


class CapturedData(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_int),
        ("LFDLevel", ctypes.c_int),
        ("LFDData", ctypes.c_char * 256),
        ("properties", ctypes.c_char * 256),
        ("image", ctypes.POINTER(ctypes.c_ubyte)),
        ("imageSize", ctypes.c_uint),
    ]


class Message(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_int),
        ("type", ctypes.c_int),
        ("deviceId", ctypes.c_char * 256),
        ("additionalInfo", ctypes.c_char * 256),
        ("capturedData", CapturedData),
    ]


class Template(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_int),
        ("data", ctypes.c_ubyte * 10000),
        ("bytesEffective", ctypes.c_int),
        ("quality", ctypes.c_int),
        ("minutiaeCount", ctypes.c_int),
        ("type", ctypes.c_int),
        ("subType", ctypes.c_int),
        ("properties", ctypes.c_char * 256),
    ]


class MatchResult(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_int),
        ("success", ctypes.c_int),
        ("index", ctypes.c_int),
        ("quality", ctypes.c_int),
        ("score", ctypes.c_int),
    ]


class BiometricsInfo(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_int),
        ("name", ctypes.c_char * 20),
        ("version", ctypes.c_char * 10),
        ("info", ctypes.c_char * 50),
        ("type", ctypes.c_int),
        ("subType", ctypes.c_int),
        ("capabilities", ctypes.c_uint),
    ]


_Record = TypeVar("_Record", bound=ctypes.Structure)


def new(struct_type: Type[_Record]) -> _Record:
    """A zeroed record with its size field set, as every export expects."""
    record = struct_type()
    setattr(record, "size", ctypes.sizeof(struct_type))
    return record


_CallbackFactory = ctypes.WINFUNCTYPE if _WINDOWS else ctypes.CFUNCTYPE  # type: ignore[attr-defined]
CALLBACK = _CallbackFactory(None, ctypes.POINTER(Message), ctypes.c_void_p)

_c = ctypes.c_char_p
_i = ctypes.c_int
_pi = ctypes.POINTER(ctypes.c_int)
_pu = ctypes.POINTER(ctypes.c_uint)
_PROTOTYPES = {
    "KVT_Start": (_i, [CALLBACK, ctypes.c_void_p]),
    "KVT_Stop": (_i, []),
    "KVT_IsRunning": (_i, []),
    "KVT_GetVersion": (_i, [ctypes.c_char_p, ctypes.c_uint]),
    "KVT_CalcImageSize": (ctypes.c_uint, [ctypes.c_uint, ctypes.c_uint]),
    "KVT_GetDeviceList": (_i, [ctypes.POINTER(DeviceInfo), _pu]),
    "KVT_GetDeviceInformation": (_i, [_c, ctypes.POINTER(DeviceInfo)]),
    "KVT_CaptureImage": (_i, [_c, _i, ctypes.POINTER(CapturedData)]),
    "KVT_CancelAsyncCapture": (_i, [_c, _pi]),
    "KVT_IndicateResult": (_i, [_c, _i]),
    "KVT_SetProperty": (_i, [_c, _c, _c]),
    "KVT_GetProperty": (_i, [_c, _c, ctypes.c_char_p, ctypes.c_uint]),
    "KVT_ExtractTemplate": (_i, [ctypes.POINTER(CapturedData), ctypes.POINTER(Template)]),
    "KVT_MatchTemplate": (
        _i,
        [ctypes.POINTER(Template), ctypes.POINTER(Template), ctypes.c_uint, ctypes.POINTER(MatchResult)],
    ),
    "KVT_GetBiometricsInfo": (_i, [ctypes.POINTER(BiometricsInfo)]),
    "KVTSim_AttachUsbSensor": (_i, [_i, _c, _pi]),
    "KVTSim_ConnectEthernetSensor": (_i, [_c, _i, _c, ctypes.c_uint, _i, _pi]),
    "KVTSim_PlaceFinger": (_i, [_i, _i, _i, _i]),
    "KVTSim_LiftFinger": (_i, [_i]),
    "KVTSim_InjectFault": (_i, [_i, _i]),
    "KVTSim_GetIndicatedResult": (_i, [_i, _pi]),
    "KVTSim_Detach": (_i, [_i]),
}


def candidates() -> List[str]:
    """Where the library is looked for, in order: next to the package (as
    ``cmake --install`` lays it out), ``KVTBASIC_LIBRARY``, then the system's
    search."""
    found: List[str] = []
    here = Path(__file__).resolve().parent
    try:
        from . import _location  # type: ignore[attr-defined]  # written by cmake --install

        folder = (here / _location.LIBRARY_DIR).resolve()
        found += [str(folder / name) for name in _FILE_NAMES]
    except ImportError:
        pass
    found += [str(here / name) for name in _FILE_NAMES]
    configured = os.environ.get("KVTBASIC_LIBRARY")
    if configured:
        found.append(configured)
    system = ctypes.util.find_library("KVTBasic" if _WINDOWS else "kvtbasic")
    found += [system] if system else []
    found += _FILE_NAMES  # the loader's own search (LD_LIBRARY_PATH, PATH)
    return found


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def load() -> ctypes.CDLL:
    """The library, loaded once per process with its prototypes declared."""
    global _library
    with _lock:
        if _library is not None:
            return _library
        # The library echoes its log to standard output unless told otherwise.
        os.environ.setdefault("KVT_LOG_CONSOLE", "0")
        tried = []
        for path in candidates():
            if os.path.isabs(path) and not os.path.exists(path):
                continue
            try:
                lib = ctypes.CDLL(path)
            except OSError as error:
                tried.append(f"{path}: {error}")
                continue
            for name, (restype, argtypes) in _PROTOTYPES.items():
                function = getattr(lib, name)
                function.restype = restype
                function.argtypes = argtypes
            _library = lib
            return lib
        raise LibraryNotFound(
            "libkvtbasic not found; set KVTBASIC_LIBRARY to its path"
            + ("".join("\n  " + t for t in tried))
        )


def text(value: bytes) -> str:
    return value.decode("utf-8", errors="replace")
