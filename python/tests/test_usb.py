"""The Emulator on simulated USB units (PELMO_SIM_USB), each scenario in a child
process with a fresh library: finding and sizing units, a large image through
the real transport, a stuck RAM bit, a unit that vanishes, one that never answers."""
from __future__ import annotations

from pathlib import Path

import pytest

from conftest import as_binary, random_image, run_script

PRELUDE = """
import json, pelmo
def failure(e):
    return {"class": type(e).__name__, "lines": e.lines, "subcode": e.subcode, "code": e.code,
            "address": getattr(e, "address", None), "expected": getattr(e, "expected", None),
            "got": getattr(e, "got", None)}
"""


def script(body: str) -> str:
    return PRELUDE + body


@pytest.mark.parametrize("bus, units", [("unit=2,ram=256;unit=0,ram=512", [0, 2]), ("unit=3,ram=32", [3]),
                                        ("unit=1,dead=1", []), ("", [])])
def test_find_lists_the_units_that_answer(bus, units):
    assert run_script(script("print(json.dumps(pelmo.find()))"), sim=bus) == units


def test_units_are_sized_and_too_small_a_ram_is_refused():
    got = run_script(script("""
out = {}
for unit, eprom in ((1, "27512"), (0, "27256"), (0, "27512")):
    try:
        with pelmo.Emulator(unit=unit, eprom=eprom) as emu:
            out[f"{unit} {eprom}"] = [emu.size, emu.ram_kb]
    except pelmo.EmulatorError as e:
        out[f"{unit} {eprom}"] = failure(e)
# The refused open left no unit open.
with pelmo.Emulator(unit=1, eprom="27010") as emu:
    out["after"] = emu.ram_kb
print(json.dumps(out))
"""), sim="unit=1,ram=512;unit=0,ram=32")
    assert got["1 27512"] == [0x10000, 512]
    assert got["0 27256"] == [0x8000, 32]
    assert got["0 27512"]["class"] == "EmulatorError"
    assert got["0 27512"]["lines"] == ["Insufficient RAM for requested device type on",
                                       "selected unit, max emulated ROM is 32K bytes"]
    assert got["after"] == 512


@pytest.mark.parametrize("fmt, out, informat", [("s37", ("-motorola", "-address-length=4"), "-motorola"),
                                                ("hex", ("-intel",), "-intel")])
def test_large_image_loaded_summed_written_back(tmp_path: Path, fmt, out, informat):
    expect = random_image(tmp_path, f"image.{fmt}", 0x40000, out, informat)
    got = run_script(script(f"""
with pelmo.Emulator(unit=0, eprom="27020", auto_reset=True) as emu:
    load = emu.load("image.{fmt}")
    check = emu.load("image.{fmt}", verify="only")
    total = emu.checksum()
    emu.fill(0x5A, 0x10000, 0x100)
    part = emu.checksum(0xFF00, 0x300)
    emu.write("back.{fmt}", format="{fmt}")
    emu.pulse(20)
    print(json.dumps({{"load": load.lines, "check": check.lines, "sum": total, "part": part,
                      "edge": emu.read(0x100F8, 16).hex()}}))
"""), sim="unit=0,ram=256", cwd=tmp_path)
    assert "Load/Verify Completed with no errors (40000 Bytes Loaded)" in got["load"]
    assert "Verify Completed with no errors (40000 Bytes Checked)" in got["check"]
    assert got["sum"] == sum(expect)
    filled = bytearray(expect)
    filled[0x10000:0x10100] = b"\x5a" * 0x100
    assert got["part"] == sum(filled[0xFF00:0x10200])
    assert bytes.fromhex(got["edge"]) == bytes(filled[0x100F8:0x10108])
    assert as_binary(tmp_path, f"back.{fmt}", informat) == bytes(filled)


def test_a_stuck_bit_fails_the_verify(tmp_path: Path):
    image = random_image(tmp_path, "image.bin", 0x8000, ("-binary",), "-binary")
    bad = image[0x2345] ^ 0x80  # bit 7 of 0x2345 always reads inverted
    got = run_script(script("""
out = {}
with pelmo.Emulator(unit=0, eprom="27256", fold="full") as emu:
    try:
        emu.load("image.bin")
    except pelmo.EmulatorError as e:
        out["load"] = failure(e)
    out["read"] = emu.read(0x2344, 3).hex()
    try:
        emu.load("image.bin", verify="only")
    except pelmo.EmulatorError as e:
        out["verify"] = failure(e)
print(json.dumps(out))
"""), sim=f"unit=0,ram=256,fault=stuck:0x2345:0x80:{bad & 0x80:#x}", cwd=tmp_path)
    load, verify = got["load"], got["verify"]
    assert load["class"] == verify["class"] == "VerifyError"
    assert "UNCORRECTABLE ERROR WRITING EMULATOR RAM AT LOCATION 02345" in load["lines"]
    assert "COMPARE ERROR IN EMULATOR RAM AT LOCATION 02345" in verify["lines"]
    for e in (load, verify):
        assert (e["address"], e["expected"], e["got"]) == (0x2345, image[0x2345], bad)
        assert e["subcode"] is None
    assert bytes.fromhex(got["read"]) == bytes([image[0x2344], bad, image[0x2346]])


def test_a_unit_that_vanishes():
    # Command 3000 comes after the open (which takes about 1750 on this unit),
    # somewhere in the fills; every call after it fails as a device failure.
    got = run_script(script("""
out = {"fills": 0}
with pelmo.Emulator(unit=0, eprom="27256") as emu:
    try:
        while out["fills"] < 10000:
            emu.fill(out["fills"] & 0xFF, 0, 0x100)
            out["fills"] += 1
    except pelmo.EmulatorError as e:
        out["fill"] = failure(e)
    for name, call in (("sum", emu.checksum), ("pulse", emu.pulse), ("read", lambda: emu.read(0, 1))):
        try:
            call()
        except pelmo.EmulatorError as e:
            out[name] = failure(e)
print(json.dumps(out))
"""), sim="unit=0,ram=256,fault=vanish:3000")
    assert 0 < got["fills"] < 10000
    for name, stage in (("fill", "507"), ("sum", "506"), ("pulse", "000"), ("read", "010")):
        assert got[name]["class"] == "DeviceError", got[name]
        assert got[name]["subcode"].startswith(stage + "-"), got[name]


@pytest.mark.parametrize("bus, code", [("unit=0,ram=256,fault=vanish:1", 5), ("unit=0,ram=256,dead=1", 5),
                                       ("unit=1,ram=256", 5)])
def test_a_unit_that_does_not_answer(bus, code):
    got = run_script(script("""
try:
    pelmo.Emulator(unit=0).open()
    print(json.dumps(None))
except pelmo.EmulatorError as e:
    print(json.dumps(failure(e)))
"""), sim=bus)
    assert got["class"] == "UnitNotFoundError"
    assert got["lines"] == ["UNABLE TO ACCESS UNIT 0", f"DEVICE FAILURE (SUBCODE 000-{code})"]


def test_a_failing_bulk_transfer_is_a_device_failure(tmp_path: Path):
    (tmp_path / "i.bin").write_bytes(bytes(range(256)) * 128)
    got = run_script(script("""
with pelmo.Emulator(unit=0, eprom="27256", fold="full") as emu:
    try:
        emu.load("i.bin")
        print(json.dumps(None))
    except pelmo.EmulatorError as e:
        print(json.dumps(failure(e)))
"""), sim="unit=0,ram=256,fault=bulk-fail:1", cwd=tmp_path)
    assert got["class"] == "DeviceError"
    assert got["subcode"] == "502-231" and got["code"] == 231
    assert "DEVICE FAILURE (SUBCODE 502-231)" in got["lines"]


def test_the_library_cannot_be_found(tmp_path: Path):
    (tmp_path / "libemucore.so").write_text("not a library")
    for where in (str(tmp_path / "missing.so"), str(tmp_path / "libemucore.so")):
        got = run_script(script("""
try:
    pelmo.Emulator(unit="virtual").open()
    print(json.dumps(None))
except pelmo.EmulatorError as e:
    print(json.dumps([type(e).__name__, str(e)]))
"""), PELMO_EMUCORE=where)
        assert got[0] == "LibraryNotFoundError"
        assert where in got[1] and "PELMO_EMUCORE" in got[1]
