"""The data folder given to a Library is used without changing the process's environment."""

import os
from pathlib import Path

import kvtbasic


def test_data_dir_holds_the_log_and_leaves_the_environment_alone(tmp_path: Path) -> None:
    # No listener section: nothing listens on the default port.
    (tmp_path / "KVTDeviceManager.ini").write_text("Port=82\nLogLevel=1\n")
    before = os.environ.get("KVT_DATA_DIR")
    with kvtbasic.Library(data_dir=tmp_path):
        assert os.environ.get("KVT_DATA_DIR") == before
    assert (tmp_path / "Logfiles" / "KVTDeviceManager.log").is_file()
