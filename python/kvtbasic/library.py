"""The library, its sensors, pictures, templates and events."""

from __future__ import annotations

import atexit
import contextlib
import ctypes
import os
import queue
import struct
import threading
import traceback
import weakref
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Iterator, List, Optional, Sequence, Union

from . import _native as n
from . import standard
from .errors import CaptureCancelled, CaptureTimeout, KvtError, TemplateFormatError, check

if TYPE_CHECKING:
    import numpy
    import numpy.typing

    from .simulator import Simulator

EVENT_NAMES = {
    n.MSG_NEW_DEVICE: "new_device",
    n.MSG_LOST_DEVICE: "lost_device",
    n.MSG_CAPTURED_IMAGE: "captured_image",
    n.MSG_TIMEOUT: "timeout",
    n.MSG_CAPTURE_CANCELLED: "capture_cancelled",
    n.MSG_GOING_OFFLINE: "going_offline",
}


@dataclass(frozen=True)
class Picture:
    """A captured image: the complete 8-bit BMP file and what came with it."""

    bmp: bytes
    lfd_level: int = 0
    properties: str = ""  # capture properties in force, 32 hexadecimal characters
    lfd_data: str = ""

    @property
    def width(self) -> int:
        return int(struct.unpack_from("<i", self.bmp, 18)[0]) if len(self.bmp) >= 26 else 0

    @property
    def height(self) -> int:
        return abs(int(struct.unpack_from("<i", self.bmp, 22)[0])) if len(self.bmp) >= 26 else 0

    def save(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Writes the BMP file."""
        Path(path).write_bytes(self.bmp)

    def to_numpy(self) -> "numpy.typing.NDArray[numpy.uint8]":
        """The grey levels as a ``height`` x ``width`` uint8 array, top row first (needs NumPy)."""
        import numpy

        offset = struct.unpack_from("<I", self.bmp, 10)[0]
        bottom_up = struct.unpack_from("<i", self.bmp, 22)[0] > 0
        stride = (self.width + 3) & ~3
        rows = numpy.frombuffer(self.bmp, numpy.uint8, stride * self.height, offset)
        grey = rows.reshape(self.height, stride)[:, : self.width]
        return (grey[::-1] if bottom_up else grey).copy()

    def _record(self) -> n.CapturedData:
        data = n.new(n.CapturedData)
        data.LFDLevel = self.lfd_level
        data.properties = self.properties.encode()
        buffer = (ctypes.c_ubyte * len(self.bmp)).from_buffer_copy(self.bmp)
        data.image = buffer
        data.imageSize = len(self.bmp)
        data._buffer = buffer  # kept alive with the record
        return data


@dataclass(frozen=True)
class Template:
    """A fingerprint template of our engine, as the library extracts and matches it.

    ``type`` and ``sub_type`` are None for a template read from a standard
    record: the running library's algorithm is assumed when it is matched.
    """

    data: bytes
    quality: int = 0
    minutiae_count: int = 0
    type: Optional[int] = None
    sub_type: Optional[int] = None

    def to_iso(self, info: Optional[standard.RecordInfo] = None) -> bytes:
        """An ISO/IEC 19794-2:2005 finger minutiae record of this template."""
        return standard.encode(standard.read_native(self.data), standard.ISO, info)

    def to_ansi(self, info: Optional[standard.RecordInfo] = None) -> bytes:
        """An ANSI INCITS 378-2004 finger minutiae record of this template."""
        return standard.encode(standard.read_native(self.data), standard.ANSI, info)

    @classmethod
    def from_iso(cls, record: bytes, view: int = 0) -> "Template":
        """The template of finger view ``view`` of an ISO record; raises TemplateFormatError."""
        return cls._from_standard(record, standard.ISO, view)

    @classmethod
    def from_ansi(cls, record: bytes, view: int = 0) -> "Template":
        """The template of finger view ``view`` of an ANSI record; raises TemplateFormatError."""
        return cls._from_standard(record, standard.ANSI, view)

    @classmethod
    def from_bytes(cls, data: bytes) -> "Template":
        """Our template, or a standard record of either format (told apart by its header)."""
        fmt = standard.detect(data)
        if fmt is not None:
            return cls._from_standard(data, fmt, 0)
        features = standard.read_native(data)
        return cls(bytes(data), minutiae_count=len(features.minutiae))

    @classmethod
    def _from_standard(cls, record: bytes, fmt: str, view: int) -> "Template":
        features, info = standard.decode(bytes(record), fmt, view)
        return cls(standard.write_native(features), quality=info.finger_quality or 0,
                   minutiae_count=len(features.minutiae))

    def _record(self, algorithm: Optional[n.BiometricsInfo]) -> n.Template:
        if len(self.data) > 10000:
            raise TemplateFormatError("template larger than 10000 bytes")
        record = n.new(n.Template)
        ctypes.memmove(record.data, self.data, len(self.data))
        record.bytesEffective = len(self.data)
        record.quality = self.quality
        record.minutiaeCount = self.minutiae_count
        record.type = self.type if self.type is not None else (algorithm.type if algorithm else 0)
        record.subType = (
            self.sub_type if self.sub_type is not None else (algorithm.subType if algorithm else 0)
        )
        return record


@dataclass(frozen=True)
class Match:
    """The outcome of an identification: ``matched`` and the best reference's position."""

    matched: bool
    index: int
    score: int
    quality: int


@dataclass(frozen=True)
class Event:
    """A message of the library, copied out of the callback."""

    type: int  # KVT_MSG_*
    name: str
    device_id: str
    info: str = ""
    picture: Optional[Picture] = None


@dataclass(frozen=True)
class Sensor:
    """A connected sensor. Methods raise the KvtError subclass of the result code."""

    library: "Library" = field(repr=False, compare=False)
    device_id: str
    model: str
    serial: str
    firmware: str
    connection: str  # "usb" or "ethernet"
    device_type: int

    def capture(
        self,
        *,
        size: Optional[str] = None,
        timeout: Optional[float] = None,
        photo: Optional[bool] = None,
        invert: Optional[bool] = None,
        lfd: Optional[bool] = None,
    ) -> Picture:
        """Captures a picture.

        ``size`` is ``"ROI"``, ``"Half"`` or ``"Full"``; ``photo`` and ``invert``
        set ImageMode and Inverted, ``lfd`` live finger detection (None leaves
        a property as it is). Without ``timeout`` the capture is synchronous;
        with one (seconds, at least 1) the library waits that long for a finger
        and the picture arrives as an event, raising CaptureTimeout or
        CaptureCancelled when it does not.
        """
        for key, value in (("PictureSize", size),
                           ("ImageMode", None if photo is None else ("Photo" if photo else "Stamp")),
                           ("Inverted", invert), ("LFD", lfd)):
            if value is not None:
                self.set_property(key, value)
        if timeout is None:
            return self.library._capture_sync(self.device_id)
        seconds = max(1, int(round(timeout)))
        waiter = self.library._expect(
            lambda e: e.device_id == self.device_id
            and e.type in (n.MSG_CAPTURED_IMAGE, n.MSG_TIMEOUT, n.MSG_CAPTURE_CANCELLED)
        )
        try:
            self.capture_async(seconds)
            event = waiter.wait(seconds + 30)
        finally:
            self.library._forget(waiter)
        if event is None:
            raise CaptureTimeout(f"no answer from {self.device_id} within {seconds + 30} s")
        if event.type == n.MSG_TIMEOUT:
            raise CaptureTimeout(f"no finger on {self.model} within {seconds} s")
        if event.type == n.MSG_CAPTURE_CANCELLED:
            raise CaptureCancelled(f"capture on {self.model} cancelled")
        if event.picture is None:
            raise KvtError(f"{self.model} delivered a captured image without picture")
        return event.picture

    def capture_async(self, timeout: int) -> None:
        """Starts an asynchronous capture; its outcome arrives as an event."""
        check(self.library._lib.KVT_CaptureImage(self.device_id.encode(), int(timeout), None),
              "KVT_CaptureImage")

    def cancel(self) -> bool:
        """Cancels an asynchronous capture; True when the sensor is free again."""
        available = ctypes.c_int(0)
        check(self.library._lib.KVT_CancelAsyncCapture(self.device_id.encode(), ctypes.byref(available)),
              "KVT_CancelAsyncCapture")
        return available.value == 1

    def indicate(self, result: int) -> None:
        """Shows a result on the sensor's lights (0 failed, 1 succeeded, 2 tentative, 3 error)."""
        check(self.library._lib.KVT_IndicateResult(self.device_id.encode(), int(result)),
              "KVT_IndicateResult")

    def set_property(self, key: str, value: Union[str, bool]) -> None:
        """Sets a capture property (ImageMode, LFD, FastMode, PictureSize, Inverted)."""
        text = ("true" if value else "false") if isinstance(value, bool) else str(value)
        check(self.library._lib.KVT_SetProperty(self.device_id.encode(), key.encode(), text.encode()),
              "KVT_SetProperty")

    def get_property(self, key: str) -> str:
        buffer = ctypes.create_string_buffer(256)
        check(self.library._lib.KVT_GetProperty(self.device_id.encode(), key.encode(), buffer, 256),
              "KVT_GetProperty")
        return n.text(buffer.value)


class _Waiter:
    def __init__(self, accept: Callable[[Event], bool]) -> None:
        self.accept = accept
        self._box: "queue.Queue[Event]" = queue.Queue()

    def offer(self, event: Event) -> None:
        if self.accept(event):
            self._box.put(event)

    def wait(self, timeout: float) -> Optional[Event]:
        try:
            return self._box.get(timeout=timeout)
        except queue.Empty:
            return None


_STOP = object()


class Library:
    """The started library: use as a context manager, or call start() and stop().

    Events reach ``on_event`` (called on a thread of this package, never the
    library's, so it may call anything), the queue ``events`` and
    :meth:`iter_events` (which keeps the latest 1000). ``data_dir`` is the folder where
    the library keeps its configuration and log (``KVT_DATA_DIR`` while it starts;
    the process's environment is left as it was).
    """

    def __init__(self, *, data_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
                 on_event: Optional[Callable[[Event], Any]] = None) -> None:
        self._data_dir = os.fspath(data_dir) if data_dir is not None else None
        self._lib = n.load()
        self._listeners: List[Callable[[Event], Any]] = [on_event] if on_event else []
        self._waiters: List[_Waiter] = []
        self._waiters_lock = threading.Lock()
        self._inbox: "queue.Queue[Any]" = queue.Queue()
        self.events: "queue.Queue[Event]" = queue.Queue(maxsize=1000)
        self._dispatcher: Optional[threading.Thread] = None
        self._algorithm: Optional[n.BiometricsInfo] = None
        self._simulator: Optional["Simulator"] = None
        # The library calls this object for as long as it runs: keep it.
        self._callback = n.CALLBACK(self._on_message)
        # A library left running would call into an interpreter that is shutting down.
        atexit.register(_stop_at_exit, weakref.ref(self))

    # Lifecycle.
    def start(self) -> "Library":
        """Starts the library (KVT_Start); raises StartFailed or Failed."""
        if self._dispatcher is None:
            self._dispatcher = threading.Thread(target=self._dispatch, name="kvtbasic-events",
                                                daemon=True)
            self._dispatcher.start()
        try:
            with _environment("KVT_DATA_DIR", self._data_dir):
                check(self._lib.KVT_Start(self._callback, None), "KVT_Start")
        except KvtError:
            self._end_dispatcher()
            raise
        return self

    def stop(self) -> None:
        """Stops the library (KVT_Stop) after the sensors' last events are delivered,
        and unplugs the simulated sensors plugged in through it."""
        try:
            check(self._lib.KVT_Stop(), "KVT_Stop")
        finally:
            self._end_dispatcher()
            self._algorithm = None
            # Simulated sensors would otherwise come back at the next start.
            if self._simulator is not None:
                self._simulator.detach_all()

    def __enter__(self) -> "Library":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return bool(self._lib.KVT_IsRunning() == 0)

    @property
    def version(self) -> str:
        buffer = ctypes.create_string_buffer(32)
        check(self._lib.KVT_GetVersion(buffer, 32), "KVT_GetVersion")
        return n.text(buffer.value)

    # Sensors.
    def sensors(self) -> List[Sensor]:
        """The connected sensors."""
        count = ctypes.c_uint(16)
        while True:
            array = (n.DeviceInfo * max(count.value, 1))()
            for info in array:
                info.size = ctypes.sizeof(n.DeviceInfo)
            capacity = count.value
            result = self._lib.KVT_GetDeviceList(array, ctypes.byref(count))
            if result == -3 and count.value > capacity:
                continue
            check(result, "KVT_GetDeviceList")
            return [self._sensor(array[i]) for i in range(count.value)]

    def sensor(self, device_id: str) -> Sensor:
        """The sensor of a device id; raises BadArgument or Failed for an unknown one."""
        info = n.new(n.DeviceInfo)
        check(self._lib.KVT_GetDeviceInformation(device_id.encode(), ctypes.byref(info)),
              "KVT_GetDeviceInformation")
        return self._sensor(info)

    def _sensor(self, info: n.DeviceInfo) -> Sensor:
        return Sensor(self, n.text(info.deviceId), n.text(info.description), n.text(info.serialNumber),
                      n.text(info.firmwareVersion), "ethernet" if info.connectionType == 1 else "usb",
                      info.deviceType)

    @property
    def simulator(self) -> "Simulator":
        """The simulated sensors built into the library."""
        if self._simulator is None:
            from .simulator import Simulator

            self._simulator = Simulator(self)
        return self._simulator

    # Biometrics.
    def extract(self, picture: Picture) -> Template:
        """The template of a picture; raises Failed when it shows no usable fingerprint."""
        record = n.new(n.Template)
        check(self._lib.KVT_ExtractTemplate(ctypes.byref(picture._record()), ctypes.byref(record)),
              "KVT_ExtractTemplate")
        return Template(bytes(record.data[: record.bytesEffective]), record.quality,
                        record.minutiaeCount, record.type, record.subType)

    def identify(self, probe: Template, gallery: Sequence[Template]) -> Match:
        """The gallery's best match for the probe (KVT_MatchTemplate)."""
        if not gallery:
            raise ValueError("identify needs at least one reference")
        algorithm = self.biometrics_info()
        references = (n.Template * len(gallery))(*[t._record(algorithm) for t in gallery])
        result = n.new(n.MatchResult)
        check(self._lib.KVT_MatchTemplate(ctypes.byref(probe._record(algorithm)), references,
                                          len(gallery), ctypes.byref(result)),
              "KVT_MatchTemplate")
        return Match(result.success == 0, result.index, result.score, result.quality)

    def biometrics_info(self) -> n.BiometricsInfo:
        """The algorithm's description (name, version, template type)."""
        if self._algorithm is None:
            info = n.new(n.BiometricsInfo)
            check(self._lib.KVT_GetBiometricsInfo(ctypes.byref(info)), "KVT_GetBiometricsInfo")
            self._algorithm = info
            return info
        return self._algorithm

    # Events.
    def add_listener(self, listener: Callable[[Event], Any]) -> None:
        """Calls ``listener`` with every later event, on this package's event thread."""
        self._listeners.append(listener)

    def iter_events(self, timeout: Optional[float] = None) -> Iterator[Event]:
        """Events as they come; ends after ``timeout`` seconds without one (never when None)."""
        while True:
            try:
                yield self.events.get(timeout=timeout)
            except queue.Empty:
                return

    def wait_for(self, name: str, device_id: Optional[str] = None, timeout: float = 30) -> Event:
        """Waits for the next event of a kind (``"new_device"``, ...) that comes after this call."""
        waiter = self._expect(lambda e: e.name == name and device_id in (None, e.device_id))
        try:
            event = waiter.wait(timeout)
        finally:
            self._forget(waiter)
        if event is None:
            raise TimeoutError(f"no {name} event within {timeout} s")
        return event

    def _expect(self, accept: Callable[[Event], bool]) -> _Waiter:
        waiter = _Waiter(accept)
        with self._waiters_lock:
            self._waiters.append(waiter)
        return waiter

    def _forget(self, waiter: _Waiter) -> None:
        with self._waiters_lock:
            self._waiters.remove(waiter)

    def _on_message(self, message: "ctypes._Pointer[n.Message]", _user: Optional[int]) -> None:
        # The library's thread: copy what is needed and return. Calling back
        # into the library from here is not allowed for every function.
        try:
            m = message.contents
            if m.type == n.MSG_UNSPECIFIED:
                return
            picture = None
            data = m.capturedData
            if m.type == n.MSG_CAPTURED_IMAGE and data.image:
                picture = Picture(ctypes.string_at(data.image, data.imageSize), data.LFDLevel,
                                  n.text(data.properties), n.text(data.LFDData))
            self._inbox.put(Event(m.type, EVENT_NAMES.get(m.type, str(m.type)), n.text(m.deviceId),
                                  n.text(m.additionalInfo), picture))
        except Exception:  # an exception must not unwind into the library
            traceback.print_exc()

    def _dispatch(self) -> None:
        while True:
            event = self._inbox.get()
            if event is _STOP:
                return
            # The queue keeps the latest events for whoever reads it.
            while True:
                try:
                    self.events.put_nowait(event)
                    break
                except queue.Full:
                    try:
                        self.events.get_nowait()
                    except queue.Empty:
                        pass
            with self._waiters_lock:
                waiters = list(self._waiters)
            for waiter in waiters:
                waiter.offer(event)
            for listener in list(self._listeners):
                try:
                    listener(event)
                except Exception:
                    traceback.print_exc()

    def _end_dispatcher(self) -> None:
        if self._dispatcher is not None:
            self._inbox.put(_STOP)
            # A listener that stops the library ends its own thread on return.
            if self._dispatcher is not threading.current_thread():
                self._dispatcher.join()
            self._dispatcher = None

    def _capture_sync(self, device_id: str) -> Picture:
        capacity = self._lib.KVT_CalcImageSize(416, 332)
        for _ in range(2):
            buffer = (ctypes.c_ubyte * capacity)()
            data = n.new(n.CapturedData)
            data.image = buffer
            data.imageSize = capacity
            result = self._lib.KVT_CaptureImage(device_id.encode(), 0, ctypes.byref(data))
            if result == -3 and data.imageSize > capacity:
                capacity = data.imageSize  # one more try always fits
                continue
            check(result, "KVT_CaptureImage")
            return Picture(bytes(buffer[: data.imageSize]), data.LFDLevel, n.text(data.properties),
                           n.text(data.LFDData))
        raise KvtError("KVT_CaptureImage: the picture kept growing", function="KVT_CaptureImage")


@contextlib.contextmanager
def _environment(name: str, value: Optional[str]) -> Iterator[None]:
    """Sets one variable for the duration (the library reads its data folder only
    while it starts), then restores what was there."""
    if value is None:
        yield
        return
    previous = os.environ.get(name)
    os.environ[name] = value
    try:
        yield
    finally:
        if previous is None:
            del os.environ[name]
        else:
            os.environ[name] = previous


def _stop_at_exit(library: "weakref.ref[Library]") -> None:
    alive = library()
    if alive is not None and alive._dispatcher is not None:
        try:
            alive.stop()
        except KvtError:
            pass
