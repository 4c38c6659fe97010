"""Extraction, identification and templates in the ISO and ANSI formats."""

from __future__ import annotations

import os
import struct
import subprocess
from pathlib import Path

import pytest

import kvtbasic
from kvtbasic import standard

from conftest import REPO


def enrol(lib: kvtbasic.Library, simulated: kvtbasic.SimulatedSensor, finger: int,
          impression: int) -> kvtbasic.Template:
    simulated.place_finger(finger, impression)
    return lib.extract(simulated.sensor.capture())


def layout(f: standard.Features) -> tuple:
    return f.width, f.height, [(m.x, m.y, m.type) for m in f.minutiae]


def test_identifies_the_enrolled_finger_also_from_standard_records(lib: kvtbasic.Library) -> None:
    simulated = lib.simulator.attach_usb("u2")
    templates = [enrol(lib, simulated, finger, 1) for finger in (12, 13, 14)]
    assert all(t.minutiae_count >= 15 and t.quality > 0 for t in templates)
    match = lib.identify(enrol(lib, simulated, 13, 2), templates)
    assert match.matched and match.index == 1 and match.score > 0
    assert not lib.identify(enrol(lib, simulated, 19, 2), templates).matched

    native = standard.read_native(templates[0].data)
    for to_record, from_record, tolerance in [
        (kvtbasic.Template.to_iso, kvtbasic.Template.from_iso, 0),
        (kvtbasic.Template.to_ansi, kvtbasic.Template.from_ansi, 1),
    ]:
        record = to_record(templates[0])
        assert record[:8] == b"FMR\x00 20\x00"
        back = from_record(record)
        assert kvtbasic.Template.from_bytes(record).data == back.data
        again = standard.read_native(back.data)
        assert layout(again) == layout(native)
        assert all(min((a.direction - b.direction) % 256, (b.direction - a.direction) % 256) <= tolerance
                   for a, b in zip(native.minutiae, again.minutiae))
        match = lib.identify(back, templates)
        assert match.matched and match.index == 0


def test_record_header_fields() -> None:
    f = standard.Features(300, 400, minutiae=[standard.Minutia(10, 20, 0, 1, 60),
                                                standard.Minutia(30, 40, 64, 2, 80)])
    info = kvtbasic.RecordInfo(finger_position=2, view_number=1, impression_type=1,
                               cbeff_owner=0x1234, cbeff_type=7, capture_device=0x0ABC)
    iso = standard.encode(f, standard.ISO, info)
    assert struct.unpack_from(">IHHHHHBB", iso, 8) == (len(iso), 0x0ABC, 300, 400, 197, 197, 1, 0)
    assert struct.unpack_from(">BBBB", iso, 24) == (2, 0x11, 70, 2)
    # y counted down from the top row; the ending's direction turned to the standard's sense.
    assert struct.unpack_from(">HHBB", iso, 28) == (0x4000 | 10, 400 - 1 - 20, 128, 60)
    ansi = standard.encode(f, standard.ANSI, info)
    assert struct.unpack_from(">HHHH", ansi, 8) == (len(ansi), 0x1234, 7, 0x0ABC)
    assert ansi[30 + 4] == 90  # 180 degrees in 2-degree steps
    assert standard.detect(iso) == "iso" and standard.detect(ansi) == "ansi"


def test_reads_every_optional_block_of_another_producer_and_refuses_it_spoilt() -> None:
    record = (REPO / "fuzz/corpus/standard/iso-two-views.fmr").read_bytes()
    features, info = standard.decode(record, view=1)
    assert (info.finger_position, info.view_number, info.impression_type, info.finger_quality) == (7, 1, 2, 55)
    assert [(m.x, m.type) for m in features.minutiae] == [(100, 1), (150, 2), (399, 0)]
    assert features.minutiae[1].quality == 50  # "not reported"
    assert [(s.x, s.type) for s in features.singular_points] == [(120, 1), (300, 2)]
    assert kvtbasic.Template.from_iso(record, view=1).minutiae_count == 3
    with pytest.raises(kvtbasic.TemplateFormatError):
        kvtbasic.Template.from_iso(record, view=2)

    # Cut or spoilt, it is refused.
    cut = [record[:n] for n in range(len(record))]
    spoilt = [record[:at] + bytes([value]) + record[at + 1:]
              for at, value in [(24, 11), (25, 0x05), (26, 101), (28, 0xC0), (40, 0x7F), (63, 3), (65, 9), (75, 0xC1)]]
    for bad in cut + spoilt:
        with pytest.raises(kvtbasic.TemplateFormatError):
            standard.decode(bad, "iso")
    # Any byte value anywhere is accepted or refused with TemplateFormatError.
    for at in range(len(record)):
        for value in (0, 0x7F, 0xFF):
            try:
                standard.decode(record[:at] + bytes([value]) + record[at + 1:])
            except kvtbasic.TemplateFormatError:
                pass


def kvt_tool() -> Path:
    if os.environ.get("KVT_TOOL"):
        return Path(os.environ["KVT_TOOL"])
    library = os.environ.get("KVTBASIC_LIBRARY", "")
    return Path(library).resolve().parents[1] / "tools" / "kvt" / "kvt" if library else Path("kvt")


def test_package_and_engine_write_the_same_records(lib: kvtbasic.Library, tmp_path: Path) -> None:
    """The package's converter and the engine's (through kvt) agree byte for byte."""
    tool = kvt_tool()
    if not tool.exists():
        pytest.skip("the kvt tool is not built")
    simulated = lib.simulator.attach_usb("u2")
    simulated.place_finger(15, 1)
    picture = simulated.sensor.capture()
    picture.save(tmp_path / "f15.bmp")
    template = lib.extract(picture)
    env = dict(os.environ, KVT_DATA_DIR=str(tmp_path / "kvt"), KVT_LOG_CONSOLE="0")
    (tmp_path / "kvt").mkdir()
    for fmt, expected in (("iso", template.to_iso()), ("ansi", template.to_ansi())):
        out = tmp_path / f"f15.{fmt}"
        subprocess.run([str(tool), "extract", str(tmp_path / "f15.bmp"), "--format", fmt, "-o", str(out)],
                       env=env, check=True, capture_output=True, timeout=120)
        assert out.read_bytes() == expected
