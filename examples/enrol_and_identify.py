#!/usr/bin/env python3
"""Enrols five simulated fingers and identifies a sixth capture.

Runs against an installed kvtbasic package (pip install ./python, or
cmake --install); set KVTBASIC_LIBRARY to the library's path when the
package does not find it by itself.
"""

import sys
import tempfile

import kvtbasic

ENROLLED = [21, 22, 23, 24, 25]
PROBE = 23


def capture(lib: kvtbasic.Library, simulated: kvtbasic.SimulatedSensor, finger: int,
            impression: int) -> kvtbasic.Template:
    simulated.place_finger(finger, impression)
    try:
        picture = simulated.sensor.capture()
    finally:
        simulated.lift_finger()
    return lib.extract(picture)


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="kvt-example-") as data_dir, \
            kvtbasic.Library(data_dir=data_dir) as lib:
        simulated = lib.simulator.attach_usb("u2")
        sensor = simulated.sensor
        print(f"KVTBasic {lib.version}: {sensor.model}, serial {sensor.serial}")

        gallery = []
        for finger in ENROLLED:
            template = capture(lib, simulated, finger, 1)
            gallery.append(template)
            print(f"enrolled finger {finger}: {template.minutiae_count} minutiae")

        probe = capture(lib, simulated, PROBE, 2)
        match = lib.identify(probe, gallery)
        if not match.matched:
            print(f"finger {PROBE} not identified (score {match.score})")
            return 1
        print(f"identified finger {ENROLLED[match.index]} (score {match.score}, "
              f"quality {match.quality})")
        # The same probe as another vendor's matcher would receive it.
        via_iso = kvtbasic.Template.from_iso(probe.to_iso())
        print(f"through an ISO 19794-2 record: finger "
              f"{ENROLLED[lib.identify(via_iso, gallery).index]}")
        return 0 if ENROLLED[match.index] == PROBE else 1


if __name__ == "__main__":
    sys.exit(main())
