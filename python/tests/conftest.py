"""Each test gets a started library with its own data folder and listener ports.

The library under test is the one KVTBASIC_LIBRARY names (the build tree's,
in CI); the package is imported from this source folder.
"""

from __future__ import annotations

import random
import socket
import sys
from pathlib import Path
from typing import Iterator, Tuple

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import kvtbasic  # noqa: E402

REPO = Path(__file__).resolve().parents[2]


# Every port below the ephemeral ranges once, in an order of this process's own.
_candidates = iter(random.sample(range(20000, 32000), 12000))


def free_port() -> int:
    """A port below the ephemeral ranges, so no outgoing connection takes it first."""
    for port in _candidates:
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
                return port
            except OSError:
                pass
    raise RuntimeError("no free port below the ephemeral range")


@pytest.fixture
def ports(tmp_path: Path) -> Tuple[int, int]:
    """Writes a configuration whose Ethernet listener uses loopback ports of this test."""
    listener, echo = free_port(), free_port()
    (tmp_path / "KVTDeviceManager.ini").write_text(
        "Port=82\nLogFileName=.\\Logfiles\\KVTDeviceManager.log\nLogLevel=1\n"
        f"[DeviceListener_1]\nIP-Address=127.0.0.1\nPort={listener}\nEchoPort={echo}\n"
    )
    return listener, echo


@pytest.fixture
def lib(tmp_path: Path, ports: Tuple[int, int]) -> Iterator[kvtbasic.Library]:
    with kvtbasic.Library(data_dir=tmp_path) as library:
        yield library
