"""Finger minutiae records of ISO/IEC 19794-2:2005 and ANSI INCITS 378-2004.

Pure Python, so the package needs no compiled part: our templates
(``KFPT``, laid out in fingerprint/README.md; versions 1 and 2 are read,
version 1 is written) are converted here with the same mapping as the
engine's own converter (fp/StandardTemplate.h):
coordinates at 500 dpi with y counted down from the top row, angles
counter-clockwise as the picture is seen, in 360/256 degrees (ISO) or
2 degrees (ANSI), quality 1..100 (0 reads as 50, "not reported").
The library hands our templates over with y running up the picture (BMP rows
are stored bottom-up), which the conversion undoes.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

from .errors import TemplateFormatError

ISO = "iso"
ANSI = "ansi"

_MAGIC = b"FMR\x00 20\x00"
_NATIVE_MAGIC = b"KFPT"
_PIXELS_PER_CM = 197  # 500 dpi
_UNREPORTED_QUALITY = 50
_STANDARD_SENSE = 128  # the standards' minutia direction is opposite to ours


@dataclass
class Minutia:
    """One minutia: position in pixels, direction in 1/256 turns as our engine keeps it."""

    x: int
    y: int
    direction: int
    type: int  # 0 other, 1 ending, 2 bifurcation
    quality: int


@dataclass
class SingularPoint:
    x: int
    y: int
    type: int  # 1 core, 2 delta, 3 double core
    direction: int = 0


@dataclass
class RecordInfo:
    """The fields of a standard record that our templates do not hold."""

    finger_position: int = 0
    view_number: int = 0
    impression_type: int = 0
    finger_quality: Optional[int] = None  # None: the mean minutia quality
    cbeff_owner: int = 0
    cbeff_type: int = 0
    capture_device: int = 0


@dataclass
class Features:
    width: int
    height: int
    resolution: int = 500
    minutiae: List[Minutia] = field(default_factory=list)
    singular_points: List[SingularPoint] = field(default_factory=list)


def read_native(data: bytes) -> Features:
    """Minutiae and singular points of one of our templates (mask and grid are dropped)."""
    # Versions 2 and 3 only add what the matcher uses, after the parts read here.
    if len(data) < 24 or data[:4] != _NATIVE_MAGIC or data[4] not in (1, 2, 3):
        raise TemplateFormatError("not a template of our engine")
    size, width, height, resolution, count, singular = struct.unpack_from("<HHHHHB", data, 6)
    if not 24 <= size <= len(data) or 20 + 9 * count + 6 * singular > size - 4:
        raise TemplateFormatError("template truncated")
    if zlib.crc32(data[: size - 4]) != struct.unpack_from("<I", data, size - 4)[0]:
        raise TemplateFormatError("template checksum mismatch")
    f = Features(width, height, resolution)
    at = 20
    for _ in range(count):
        x, y, direction, kind, quality = struct.unpack_from("<HHBBB", data, at)
        f.minutiae.append(Minutia(x, y, direction, kind, quality))
        at += 9
    for _ in range(singular):
        x, y, kind, direction = struct.unpack_from("<HHBB", data, at)
        f.singular_points.append(SingularPoint(x, y, kind, direction))
        at += 6
    return f


def write_native(f: Features) -> bytes:
    """One of our templates without mask and orientation grid (the small form)."""
    body = bytearray(_NATIVE_MAGIC + bytes([1, 0]))
    body += struct.pack("<HHHHHBBBB", 0, f.width, f.height, f.resolution, len(f.minutiae),
                        len(f.singular_points), 0, 0, 0)
    for m in f.minutiae:
        body += struct.pack("<HHBBBBB", m.x, m.y, m.direction, m.type, m.quality, 0, 0)
    for s in f.singular_points:
        body += struct.pack("<HHBB", s.x, s.y, s.type, s.direction)
    struct.pack_into("<H", body, 6, len(body) + 4)
    return bytes(body) + struct.pack("<I", zlib.crc32(bytes(body)))


def _to_picture(direction: int) -> int:
    # Our y runs up the picture in the library's templates, so our angle
    # already turns counter-clockwise as the picture is seen.
    return direction & 0xFF


def _encode_angle(turn256: int, fmt: str) -> int:
    turn256 &= 0xFF
    return turn256 if fmt == ISO else round(turn256 * 45 / 64) % 180


def _decode_angle(value: int, fmt: str) -> int:
    return value if fmt == ISO else round(value * 64 / 45) & 0xFF


def encode(f: Features, fmt: str, info: Optional[RecordInfo] = None) -> bytes:
    """A standard record of one finger view."""
    info = info or RecordInfo()
    minutiae = f.minutiae[:255]
    quality = info.finger_quality
    if quality is None:
        quality = sum(m.quality for m in minutiae) // len(minutiae) if minutiae else 0
    view = bytearray(struct.pack(">BBBB", min(info.finger_position, 10),
                                 ((info.view_number & 15) << 4) | (info.impression_type & 15),
                                 max(0, min(quality, 100)), len(minutiae)))
    for m in minutiae:
        view += struct.pack(">HHBB", (m.type << 14) | (m.x & 0x3FFF), (f.height - 1 - m.y) & 0x3FFF,
                            _encode_angle(_to_picture(m.direction) + _STANDARD_SENSE, fmt),
                            max(1, min(m.quality, 100)))
    extended = b""
    cores = [s for s in f.singular_points if s.type != 2][:15]
    deltas = [s for s in f.singular_points if s.type == 2][:15]
    if cores or deltas:
        angles = any(s.direction for s in cores)
        area = bytearray([(0x40 if angles else 0) | len(cores)])
        for s in cores:
            area += struct.pack(">HH", s.x, f.height - 1 - s.y)
            if angles:
                area.append(_encode_angle(_to_picture(s.direction), fmt))
        area.append(len(deltas))
        for s in deltas:
            area += struct.pack(">HH", s.x, f.height - 1 - s.y)
        extended = struct.pack(">HH", 2, len(area) + 4) + area
    view += struct.pack(">H", len(extended)) + extended
    common = struct.pack(">HHHHHBB", info.capture_device & 0x0FFF, f.width, f.height,
                         _PIXELS_PER_CM, _PIXELS_PER_CM, 1, 0)
    if fmt == ISO:
        total = 12 + len(common) + len(view)
        return _MAGIC + struct.pack(">I", total) + common + view
    if fmt != ANSI:
        raise ValueError(f"unknown format {fmt!r} (iso or ansi)")
    cbeff = struct.pack(">HH", info.cbeff_owner, info.cbeff_type)
    total = 10 + len(cbeff) + len(common) + len(view)
    length = struct.pack(">H", total) if total <= 0xFFFF else struct.pack(">HI", 0, total + 4)
    return _MAGIC + length + cbeff + common + view


def detect(data: bytes) -> Optional[str]:
    """``"iso"`` or ``"ansi"`` for a standard record, else None."""
    if len(data) < 26 or data[:8] != _MAGIC:
        return None
    if data[8] or data[9]:
        return ANSI
    iso_length = struct.unpack_from(">I", data, 8)[0]
    return ISO if 24 <= iso_length <= len(data) else ANSI


class _Reader:
    def __init__(self, data: bytes, end: int, at: int = 0) -> None:
        self.data, self.end, self.at = data, end, at

    def take(self, fmt: str) -> Tuple[int, ...]:
        n = struct.calcsize(fmt)
        if self.at + n > self.end:
            raise TemplateFormatError("record truncated or its length too small")
        values = struct.unpack_from(fmt, self.data, self.at)
        self.at += n
        return values


def decode(data: bytes, fmt: Optional[str] = None, view: int = 0) -> Tuple[Features, RecordInfo]:
    """Features of finger view ``view`` of a standard record, at 500 dpi.

    Every field is range-checked and every view read, so a malformed record
    raises :class:`TemplateFormatError` whichever view is asked for.
    """
    fmt = fmt or detect(data)
    if fmt is None or data[:8] != _MAGIC:
        raise TemplateFormatError("not a finger minutiae record of version 20")
    r = _Reader(data, len(data), 8)
    info = RecordInfo()
    if fmt == ISO:
        (length,) = r.take(">I")
    else:
        (length,) = r.take(">H")
        if length == 0:
            (length,) = r.take(">I")
        info.cbeff_owner, info.cbeff_type = r.take(">HH")
    device, width, height, res_x, res_y, views, _ = r.take(">HHHHHBB")
    info.capture_device = device & 0x0FFF
    if length > len(data) or length < r.at:
        raise TemplateFormatError("record length does not match its contents")
    scales = []
    for res in (res_x, res_y):
        scale = 500 / (res * 2.54) if res else 0
        scales.append(1.0 if abs(scale - 1) < 0.02 else scale)
    if not (0 < width <= 0x3FFF and 0 < height <= 0x3FFF and views > 0
            and all(0.25 <= s <= 4 for s in scales)):
        raise TemplateFormatError("record header out of range (image size, resolution or views)")
    out_w, out_h = round(width * scales[0]), round(height * scales[1])
    if not (0 < out_w <= 4096 and 0 < out_h <= 4096):
        raise TemplateFormatError("record header out of range (image size)")

    def place(x: int, y: int) -> Tuple[int, int]:
        px = min(round(x * scales[0]), out_w - 1)
        py = min(round(y * scales[1]), out_h - 1)
        return px, out_h - 1 - py

    r = _Reader(data, length, r.at)
    chosen: Optional[Tuple[Features, RecordInfo]] = None
    for index in range(views):
        f = Features(out_w, out_h)
        vi = RecordInfo(cbeff_owner=info.cbeff_owner, cbeff_type=info.cbeff_type,
                        capture_device=info.capture_device)
        position, view_impression, quality, count = r.take(">BBBB")
        vi.finger_position, vi.finger_quality = position, quality
        vi.view_number, vi.impression_type = view_impression >> 4, view_impression & 15
        if position > 10 or quality > 100 or vi.impression_type not in (0, 1, 2, 3, 8):
            raise TemplateFormatError("finger view header out of range")
        for _ in range(count):
            tx, y, angle, mq = r.take(">HHBB")
            kind, x, y = tx >> 14, tx & 0x3FFF, y & 0x3FFF
            if kind == 3 or x >= width or y >= height or mq > 100 or (fmt == ANSI and angle >= 180):
                raise TemplateFormatError("minutia out of range")
            px, py = place(x, y)
            direction = (_decode_angle(angle, fmt) - _STANDARD_SENSE) & 0xFF
            f.minutiae.append(Minutia(px, py, direction, kind, mq or _UNREPORTED_QUALITY))
        (extended,) = r.take(">H")
        block_end = r.at + extended
        while r.at < block_end:
            kind, area_length = r.take(">HH")
            area_end = r.at - 4 + area_length
            if area_length < 4 or area_end > block_end:
                raise TemplateFormatError("malformed extended data")
            if kind == 1:
                (method,) = r.take(">B")
                if (area_length - 5) % 3 or method > 2:
                    raise TemplateFormatError("malformed ridge count data")
                while r.at < area_end:
                    a, b, _ = r.take(">BBB")
                    if not (0 < a <= count and 0 < b <= count):
                        raise TemplateFormatError("ridge count names a missing minutia")
            elif kind == 2:
                for point_type in (1, 2):
                    (head,) = r.take(">B")
                    if head >> 6 > 1:
                        raise TemplateFormatError("malformed core and delta data")
                    for _ in range(head & 15):
                        x, y = (v & 0x3FFF for v in r.take(">HH"))
                        direction = 0
                        if head >> 6:
                            direction = _decode_angle(r.take(">B")[0], fmt)
                            if point_type == 2:
                                r.take(">BB")
                        if x >= width or y >= height or r.at > area_end:
                            raise TemplateFormatError("malformed core and delta data")
                        if len(f.singular_points) < 16:
                            f.singular_points.append(SingularPoint(*place(x, y), point_type, direction))
                if r.at != area_end:
                    raise TemplateFormatError("malformed core and delta data")
            else:
                r.take(f">{area_length - 4}s")
        if index == view:
            chosen = (f, vi)
    if r.at != length:
        raise TemplateFormatError("record length does not match its contents")
    if chosen is None:
        raise TemplateFormatError(f"record has no finger view {view}")
    return chosen
