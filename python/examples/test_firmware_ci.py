"""Firmware CI with a unit in the loop: put the new build into the emulator,
check it arrived, restart the target on it.

    PELMO_UNIT=0 PELMO_EPROM=27512 FIRMWARE=build/firmware.hex python3 -m pytest python/examples

PELMO_UNIT is 0..3 for a USB unit (default: the virtual unit, to try this out
without hardware); FIRMWARE is an Intel HEX, S-record or binary image (default:
a random image made by srec_cat). The board's own tests would follow the pulse.
"""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

import pelmo

EPROM = os.environ.get("PELMO_EPROM", "27256")
INPUT_FORMATS = {".hex": "-intel", ".ihx": "-intel", ".s19": "-motorola", ".s28": "-motorola",
                 ".s37": "-motorola", ".srec": "-motorola", ".mot": "-motorola"}


def srec_cat(*args, cwd):
    if shutil.which("srec_cat") is None:
        pytest.skip("srec_cat (Debian package srecord) is not installed")
    subprocess.run(["srec_cat", *args], cwd=cwd, check=True, capture_output=True)


@pytest.fixture(scope="module")
def firmware(tmp_path_factory):
    """The image file, and its bytes from address 0 as srec_cat reads them."""
    work = tmp_path_factory.mktemp("firmware")
    path = Path(os.environ.get("FIRMWARE") or work / "firmware.hex")
    if not os.environ.get("FIRMWARE"):
        srec_cat("-generate", "0", hex(pelmo.eprom_size(EPROM)), "-random", "-o", path.name, "-intel", cwd=work)
    informat = INPUT_FORMATS.get(path.suffix.lower(), "-binary")
    srec_cat(str(path.resolve()), informat, "-o", "image.bin", "-binary", cwd=work)
    return path, (work / "image.bin").read_bytes()


@pytest.fixture
def emulator():
    with pelmo.Emulator(unit=os.environ.get("PELMO_UNIT", "virtual"), eprom=EPROM, reset_pulse_ms=100,
                        auto_reset=True) as emu:
        yield emu


def test_new_build_runs_on_the_target(emulator, firmware):
    path, image = firmware
    result = emulator.load(path, verify=True)            # written and read back
    assert any(line.startswith("Load/Verify Completed with no errors") for line in result.lines)
    emulator.pulse()                                      # the target restarts on the new build
    assert emulator.checksum(0, len(image)) == sum(image)
    assert emulator.read(0, 16) == image[:16]             # the reset vector area, say
