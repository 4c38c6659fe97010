"""KVTBasic for Python: fingerprint sensors, capture, templates and matching.

A pure-Python layer (ctypes) over the KVTBasic shared library::

    import kvtbasic

    with kvtbasic.Library() as lib:
        finger = lib.simulator.attach_usb("u2")
        finger.place_finger(1)
        picture = finger.sensor.capture()
        template = lib.extract(picture)

The library is looked for next to this package (as ``cmake --install`` lays
it out), then at ``KVTBASIC_LIBRARY``, then by the system's search.
"""

from .errors import (
    BadArgument,
    CaptureCancelled,
    CaptureTimeout,
    Failed,
    KvtError,
    LibraryNotFound,
    NoAlgorithm,
    NoCallback,
    NotRunning,
    StartFailed,
    TemplateFormatError,
    TooSmall,
)
from .library import Event, Library, Match, Picture, Sensor, Template
from .simulator import SimulatedSensor, Simulator
from .standard import RecordInfo

__version__ = "2.1.0.7"

__all__ = [
    "BadArgument",
    "CaptureCancelled",
    "CaptureTimeout",
    "Event",
    "Failed",
    "KvtError",
    "Library",
    "LibraryNotFound",
    "Match",
    "NoAlgorithm",
    "NoCallback",
    "NotRunning",
    "Picture",
    "RecordInfo",
    "Sensor",
    "SimulatedSensor",
    "Simulator",
    "StartFailed",
    "Template",
    "TemplateFormatError",
    "TooSmall",
]
