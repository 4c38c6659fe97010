"""The library through the package: lifecycle, sensors, capture, events, errors."""

from __future__ import annotations

import os
import queue
import threading
import time
from pathlib import Path
from typing import Tuple

import pytest

import kvtbasic
from kvtbasic import _native


def tasks_return_to(expected: int) -> bool:
    # A joined thread may still be leaving the kernel; give it time, not a fixed pause.
    deadline = time.monotonic() + 10
    while len(os.listdir("/proc/self/task")) != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return len(os.listdir("/proc/self/task")) == expected


def next_event(lib: kvtbasic.Library, name: str, timeout: float = 30) -> kvtbasic.Event:
    for event in lib.iter_events(timeout):
        if event.name == name:
            return event
    raise AssertionError(f"no {name} event")


class TestLifecycle:
    def test_start_stop_leave_no_thread_behind_and_calls_after_stop_raise_not_running(
        self, tmp_path: Path, ports: Tuple[int, int]
    ) -> None:
        _native.load()
        threads, tasks = threading.active_count(), len(os.listdir("/proc/self/task"))
        environment = os.environ.get("KVT_DATA_DIR")
        library = kvtbasic.Library(data_dir=tmp_path)
        for _ in range(2):
            with library as lib:
                # The data folder is handed over without changing the process's environment.
                assert lib.running and os.environ.get("KVT_DATA_DIR") == environment
                assert lib.version.count(".") == 3
                lib.start()  # a second start changes nothing
                sensor = lib.simulator.attach_usb("u2").sensor
            assert not library.running
            assert threading.active_count() == threads
            assert tasks_return_to(tasks)
        assert (tmp_path / "Logfiles" / "KVTDeviceManager.log").is_file()
        library.stop()  # stopping a stopped library is fine
        with pytest.raises(kvtbasic.NotRunning) as raised:
            library.sensors()
        assert raised.value.code == -2 and raised.value.function == "KVT_GetDeviceList"
        with pytest.raises(kvtbasic.NotRunning):
            sensor.capture()


class TestSensors:
    def test_lists_usb_and_ethernet_sensors_and_their_properties(
        self, lib: kvtbasic.Library, ports: Tuple[int, int], capfd: pytest.CaptureFixture[str]
    ) -> None:
        u1 = lib.simulator.attach_usb("u1", serial="10000042")
        u2 = lib.simulator.attach_usb("u2")
        e1 = lib.simulator.connect_ethernet(ports[0], serial=20000042, echo_port=ports[1])
        assert {s.device_id for s in lib.sensors()} == {u1.sensor.device_id, u2.sensor.device_id, e1.sensor.device_id}
        assert (u1.sensor.model, u1.sensor.serial, u1.sensor.connection) == ("Kelo U1 USB", "10000042", "usb")
        assert u2.sensor.model == "Kelo U2 USB" and u2.sensor.firmware
        assert (e1.sensor.model, e1.sensor.serial, e1.sensor.connection) == ("Kelo E1 Ethernet", "20000042", "ethernet")
        u2.sensor.set_property("PictureSize", "Full")
        assert u2.sensor.get_property("PictureSize").lower() == "full"
        with pytest.raises(kvtbasic.KvtError):
            u2.sensor.get_property("NoSuchKey")
        u1.detach()
        assert u1.sensor.device_id not in {s.device_id for s in lib.sensors()}
        e1.detach()
        # The package keeps the library's log off standard output.
        assert "DeviceManager" not in capfd.readouterr().out


class TestCapture:
    def test_sync_and_async_captures_give_pictures_graded_by_the_finger(
        self, lib: kvtbasic.Library, tmp_path: Path
    ) -> None:
        simulated = lib.simulator.attach_usb("u2")
        simulated.place_finger(4, 1)
        roi = simulated.sensor.capture(size="ROI")
        full = simulated.sensor.capture(size="Full")
        assert (roi.width, roi.height) == (256, 360)
        assert full.width * full.height > roi.width * roi.height
        assert roi.lfd_level == 5 and len(roi.properties) == 32
        roi.save(tmp_path / "roi.bmp")
        assert (tmp_path / "roi.bmp").read_bytes() == roi.bmp
        assert simulated.sensor.capture(size="ROI", timeout=10).width == 256
        simulated.place_finger(2, 1, live=False)
        assert simulated.sensor.capture().lfd_level == 0

    def test_to_numpy_and_inverted_pictures(self, lib: kvtbasic.Library) -> None:
        np = pytest.importorskip("numpy")
        simulated = lib.simulator.attach_usb("u2")
        simulated.place_finger(5, 1)
        plain = simulated.sensor.capture(invert=False).to_numpy()
        inverted = simulated.sensor.capture(invert=True).to_numpy()
        assert plain.shape == (360, 256) and plain.dtype == np.uint8
        # Ridges dark in one are light in the other.
        correlation = np.corrcoef(plain.ravel().astype(float), inverted.ravel().astype(float))[0, 1]
        assert correlation < -0.5

    def test_timeouts_cancels_and_faults_surface_as_exceptions_and_events(self, lib: kvtbasic.Library) -> None:
        with pytest.raises(kvtbasic.CaptureTimeout):
            lib.simulator.attach_usb("u1").sensor.capture(timeout=1)
        simulated = lib.simulator.attach_usb("u2")
        simulated.sensor.capture_async(30)
        assert simulated.sensor.cancel()
        assert next_event(lib, "capture_cancelled").device_id == simulated.sensor.device_id
        simulated.place_finger(1, 1)
        simulated.inject_fault("short_answer")
        with pytest.raises(kvtbasic.KvtError) as raised:
            simulated.sensor.capture()
        assert raised.value.code is not None and raised.value.code < 0


class TestEvents:
    def test_callback_runs_off_the_library_thread_and_may_call_back(
        self, tmp_path: Path, ports: Tuple[int, int]
    ) -> None:
        seen: "queue.Queue[Tuple[str, int]]" = queue.Queue()

        def on_event(event: kvtbasic.Event) -> None:
            # Listing from inside a listener is fine: it runs on the package's thread.
            seen.put((event.name, len(lib.sensors()) if event.name == "new_device" else -1))

        with kvtbasic.Library(data_dir=tmp_path, on_event=on_event) as lib:
            simulated = lib.simulator.attach_usb("u2")
            assert seen.get(timeout=30) == ("new_device", 1)
            simulated.detach()
            assert seen.get(timeout=30)[0] == "lost_device"
        assert "going_offline" in [name for name, _ in seen.queue]

    def test_listener_may_stop_the_library(self, tmp_path: Path, ports: Tuple[int, int]) -> None:
        stopped = threading.Event()
        library = kvtbasic.Library(data_dir=tmp_path)

        def on_event(event: kvtbasic.Event) -> None:
            if event.name == "capture_cancelled":
                library.stop()
                stopped.set()

        library.add_listener(on_event)
        with library:
            sensor = library.simulator.attach_usb("u2").sensor
            sensor.capture_async(30)
            sensor.cancel()
            assert stopped.wait(30)
            assert not library.running

    def test_iterator_delivers_captured_pictures_and_wait_for_times_out(self, lib: kvtbasic.Library) -> None:
        simulated = lib.simulator.attach_usb("u2")
        simulated.place_finger(7, 1)
        simulated.sensor.capture_async(10)
        event = next_event(lib, "captured_image")
        assert event.device_id == simulated.sensor.device_id
        assert event.picture is not None and event.picture.width == 256
        with pytest.raises(TimeoutError):
            lib.wait_for("lost_device", timeout=0.2)


class TestErrors:
    def test_unknown_device_and_undecodable_picture_raise(self, lib: kvtbasic.Library) -> None:
        with pytest.raises(kvtbasic.KvtError) as raised:
            lib.sensor("no such sensor")
        assert type(raised.value) in (kvtbasic.BadArgument, kvtbasic.Failed)
        assert raised.value.code in (-5, -1)
        with pytest.raises(kvtbasic.BadArgument) as bad:
            lib.extract(kvtbasic.Picture(b"BM not a bitmap"))
        assert bad.value.code == -5

    def test_every_result_code_has_its_class(self) -> None:
        from kvtbasic.errors import error_for

        codes = (-1, -2, -3, -4, -5, -6, -7, -99)
        errors = [error_for(code, "KVT_X") for code in codes]
        assert [type(e) for e in errors] == [kvtbasic.Failed, kvtbasic.NotRunning, kvtbasic.TooSmall,
                                             kvtbasic.NoCallback, kvtbasic.BadArgument, kvtbasic.StartFailed,
                                             kvtbasic.NoAlgorithm, kvtbasic.KvtError]
        assert all(e.code == code and "KVT_X" in str(e) for e, code in zip(errors, codes))

    def test_library_path_order(self, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setenv("KVTBASIC_LIBRARY", "/somewhere/libkvtbasic.so")
        found = _native.candidates()
        assert found.index("/somewhere/libkvtbasic.so") < found.index("libkvtbasic.so")
