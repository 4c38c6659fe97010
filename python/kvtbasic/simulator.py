"""Simulated sensors built into the library (include/kvt/KVTSimulator.h)."""

from __future__ import annotations

import ctypes
import os
import threading
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Union

from .errors import check

if TYPE_CHECKING:
    from .library import Library, Sensor

MODELS = {"u1": 1, "u2": 2}
FAULTS = {
    "none": 0,
    "no_answer": 1,
    "short_answer": 2,
    "wrong_command": 3,
    "bad_state": 4,
    "unplug_in_image": 5,
    "length_zero": 6,
    "length_too_large": 7,
    "echo_stops": 8,
}


@dataclass
class SimulatedSensor:
    """A simulated sensor and, once the library announced it, its Sensor."""

    simulator: "Simulator" = field(repr=False)
    sim_id: int
    sensor: "Sensor"

    def place_finger(self, finger: int, impression: int = 0, live: bool = True) -> None:
        """Puts virtual finger ``finger`` on the sensor; a waiting capture takes it."""
        self.simulator._call("KVTSim_PlaceFinger", self.sim_id, finger, impression, 1 if live else 0)

    def lift_finger(self) -> None:
        self.simulator._call("KVTSim_LiftFinger", self.sim_id)

    def inject_fault(self, fault: Union[str, int]) -> None:
        """Makes the sensor misbehave once: a name of FAULTS or its number."""
        self.simulator._call("KVTSim_InjectFault", self.sim_id,
                             FAULTS[fault] if isinstance(fault, str) else fault)

    def indicated_result(self) -> int:
        """What KVT_IndicateResult last showed on an Ethernet sensor (0 none, 1 success, 2 other)."""
        state = ctypes.c_int(0)
        self.simulator._call("KVTSim_GetIndicatedResult", self.sim_id, ctypes.byref(state))
        return state.value

    def detach(self, wait: bool = True, timeout: float = 30) -> None:
        """Unplugs the sensor; with ``wait``, until the library reports it lost."""
        library = self.simulator._library
        waiter = library._expect(lambda e: e.name == "lost_device"
                                 and e.device_id == self.sensor.device_id)
        try:
            self.simulator._call("KVTSim_Detach", self.sim_id)
            self.simulator._forget(self)
            if wait and waiter.wait(timeout) is None:
                raise TimeoutError(f"{self.sensor.model} was not reported lost within {timeout} s")
        finally:
            library._forget(waiter)


class Simulator:
    """Plugs in simulated sensors. The library must be running."""

    def __init__(self, library: "Library") -> None:
        self._library = library
        self._lock = threading.Lock()
        self._attached: List[SimulatedSensor] = []
        self._next_serial = 30000000 + (os.getpid() % 10000) * 1000

    def attach_usb(self, model: str = "u2", serial: Optional[str] = None,
                   timeout: float = 30) -> SimulatedSensor:
        """Plugs in a simulated USB sensor (``"u1"`` or ``"u2"``) and waits until it is announced."""
        if model not in MODELS:
            raise ValueError(f"unknown simulated sensor model {model!r} (u1 or u2)")
        if serial is None:
            # A serial of our own tells this sensor's announcement from others'.
            with self._lock:
                self._next_serial += 1
                serial = str(self._next_serial)
        text = serial
        return self._plug(lambda sim_id: self._call(
            "KVTSim_AttachUsbSensor", MODELS[model], text.encode(), sim_id), text, timeout)

    def connect_ethernet(self, listener_port: int, *, serial: int = 20000001,
                         sensor_address: str = "127.0.0.2", listener_address: str = "127.0.0.1",
                         echo_port: int = 7, timeout: float = 30) -> SimulatedSensor:
        """Connects a simulated Ethernet sensor to the library's listener and waits until it is announced.

        ``echo_port`` must be the listener's EchoPort setting.
        """
        return self._plug(lambda sim_id: self._call(
            "KVTSim_ConnectEthernetSensor", listener_address.encode(), listener_port,
            sensor_address.encode(), serial, echo_port, sim_id), str(serial), timeout)

    def detach_all(self) -> None:
        """Unplugs every sensor plugged in here (Library.stop does it)."""
        with self._lock:
            attached, self._attached = self._attached, []
        for simulated in attached:
            self._library._lib.KVTSim_Detach(simulated.sim_id)

    def _plug(self, plug: Callable[[Any], None], serial: str, timeout: float) -> SimulatedSensor:
        library = self._library
        waiter = library._expect(lambda e: e.name == "new_device")
        try:
            sim_id = ctypes.c_int(0)
            plug(ctypes.byref(sim_id))
            deadline = time.monotonic() + timeout
            while True:
                event = waiter.wait(max(0.0, deadline - time.monotonic()))
                if event is None:
                    raise TimeoutError(f"simulated sensor {serial} was not announced within {timeout} s")
                # A U2 shows its serial twice ("B<serial>I<serial>").
                sensor = library.sensor(event.device_id)
                if serial in sensor.serial:
                    break
        finally:
            library._forget(waiter)
        simulated = SimulatedSensor(self, sim_id.value, sensor)
        with self._lock:
            self._attached.append(simulated)
        return simulated

    def _forget(self, simulated: SimulatedSensor) -> None:
        with self._lock:
            if simulated in self._attached:
                self._attached.remove(simulated)

    def _call(self, name: str, *args: object) -> None:
        check(getattr(self._library._lib, name)(*args), name)
