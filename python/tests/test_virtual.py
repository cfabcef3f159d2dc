"""The Emulator on the virtual unit, in this process: images made and read back
by srec_cat, the library's texts, and the failures raised before and by it."""
from __future__ import annotations

import os
import pydoc
from pathlib import Path

import pytest

import pelmo
from conftest import as_binary, random_image, srec


@pytest.mark.parametrize("eprom, size, kb", [("2716", 0x800, 2), ("27256", 0x8000, 32), ("32k", 0x8000, 32),
                                              ("8000", 0x8000, 32), (27512, 0x10000, 64), ("27080", 0x100000, 1024)])
def test_open_sizes_the_unit_by_type_or_alias(eprom, size, kb):
    with pelmo.Emulator(unit="virtual", eprom=eprom) as emu:
        assert (emu.size, emu.ram_kb, emu.is_open) == (size, kb, True)
    assert not emu.is_open


def test_load_verify_checksum_read_back(tmp_path: Path, virtual: pelmo.Emulator):
    expect = random_image(tmp_path, "image.hex", 0x8000)
    result = virtual.load(tmp_path / "image.hex")
    assert "Load/Verify Completed with no errors (8000 Bytes Loaded)" in result.lines
    assert virtual.last_text == result.text
    assert virtual.checksum() == sum(expect)
    assert virtual.last_text.endswith(f"CHECKSUM = {sum(expect) >> 16:04X}-{sum(expect) & 0xFFFF:04X}")
    assert virtual.checksum(0x100, 0x80) == sum(expect[0x100:0x180])
    assert virtual.read(0, 0x8000) == expect
    assert virtual.read(0x7FF3, 13) == expect[0x7FF3:]
    # Verify only: the RAM against the file, nothing written.
    assert "Verify Completed with no errors (8000 Bytes Checked)" in \
        virtual.load(tmp_path / "image.hex", verify="only").lines


def test_load_window_width_and_target_match_srec_cat(tmp_path: Path, virtual: pelmo.Emulator):
    image = random_image(tmp_path, "image.s37", 0x8000, ("-motorola", "-address-length=4"), "-motorola")
    virtual.fill(0)
    # Every second byte of file addresses 0x1000.. (0x400 of them) to device address 0x200.
    result = virtual.load(tmp_path / "image.s37", start=0x1000, length=0x400, target=0x200, width=2)
    assert result.lines[0] == "S-File Load/Verify of 400 bytes from every #2nd byte at offset 1000 to offset 200"
    want = as_binary(tmp_path, "image.s37", "-motorola", "-crop", "0x1000", "0x1800", "-split", "2", "0", "1",
                     "-offset", "-0x600")
    assert virtual.read(0x200, 0x400) == image[0x1000:0x1800:2]
    assert virtual.read(0x200, 0x400) == want[0x200:0x600]
    assert virtual.read(0, 0x200) == bytes(0x200)


WRITE_FORMATS = [
    # format, srec_cat input, the record types it must use
    ("hex", "-intel", (":",)),
    ("hex32", "-intel", (":",)),
    ("s19", "-motorola", ("S1", "S9")),
    ("s", "-motorola", ("S1", "S9")),
    ("s28", "-motorola", ("S2", "S8")),
    ("s37", "-motorola", ("S3", "S7")),
    ("bin", "-binary", ()),
]


@pytest.mark.parametrize("fmt, informat, records", WRITE_FORMATS)
def test_write_formats_read_back_by_srec_cat(tmp_path: Path, virtual: pelmo.Emulator, fmt, informat, records):
    expect = random_image(tmp_path, "image.bin", 0x8000, ("-binary",), "-binary")
    virtual.load(tmp_path / "image.bin")
    out = tmp_path / f"out.{fmt}"
    result = virtual.write(out, format=fmt, signon="pelmo test" if fmt.startswith("s") else None)
    assert result.lines, "the writer's banner and record count"
    assert as_binary(tmp_path, out.name, informat) == expect
    if records:
        kinds = {line[:1] if line.startswith(":") else line[:2] for line in out.read_text().splitlines()}
        assert set(records) <= kinds
        assert kinds <= set(records) | {"S0"}, kinds


def test_write_window_with_target_and_append(tmp_path: Path, virtual: pelmo.Emulator):
    expect = random_image(tmp_path, "image.hex", 0x8000)
    virtual.load(tmp_path / "image.hex")
    out = tmp_path / "two.hex"
    virtual.write(out, start=0x100, length=0x40, target=0x9000, eof=False)
    virtual.write(out, start=0x7000, length=0x10, mode="append")
    back = as_binary(tmp_path, "two.hex", "-intel")
    assert back[0x9000:0x9040] == expect[0x100:0x140]
    assert back[0x7000:0x7010] == expect[0x7000:0x7010]
    with pytest.raises(pelmo.ImageFileError, match="OUTPUT FILE ALREADY EXISTS"):
        virtual.write(out)
    virtual.write(out, format="bin", start=0, length=4, mode="replace")
    assert out.read_bytes() == expect[:4]


def test_fill_and_check(virtual: pelmo.Emulator):
    assert str(virtual.fill(0x5A, 0x1000, 0x100)) == "Filling 100 bytes at offset 1000 with 5A\nFill Completed with no errors"
    assert virtual.fill(0x5A, 0x1000, 0x100, check=True).lines[-1] == "Verify Completed with no errors"
    virtual.fill(0x00, 0x1080, 1)
    with pytest.raises(pelmo.VerifyError) as caught:
        virtual.fill(0x5A, 0x1000, 0x100, check=True)
    e = caught.value
    assert (e.address, e.expected, e.got) == (0x1080, 0x5A, 0x00)
    assert "COMPARE ERROR IN EMULATOR RAM AT LOCATION 01080" in e.lines
    assert e.subcode is None
    assert virtual.read(0x107F, 3) == b"\x5a\x00\x5a"


def test_verify_only_reports_the_first_difference(tmp_path: Path, virtual: pelmo.Emulator):
    image = random_image(tmp_path, "image.hex", 0x8000)
    virtual.load(tmp_path / "image.hex", verify=False)
    virtual.fill(image[0x4321] ^ 0xFF, 0x4321, 1)
    with pytest.raises(pelmo.VerifyError) as caught:
        virtual.load(tmp_path / "image.hex", verify="only")
    e = caught.value
    assert (e.address, e.expected, e.got) == (0x4321, image[0x4321], image[0x4321] ^ 0xFF)
    assert e.lines[-1] == f"EXPECTED {image[0x4321]:02X}, GOT {image[0x4321] ^ 0xFF:02X}"
    assert e.text == virtual.last_text


def test_dump_is_the_library_view(virtual: pelmo.Emulator):
    virtual.fill(0x41, 0, 0x20)
    virtual.fill(0x01, 0x13, 2)
    assert virtual.dump(0x13, 2) == " 000010  -- -- -- 01 01 -- -- -- -- -- -- -- -- -- -- --       \x7f\x7f           \n"
    # A snapshot is taken for every read: a fill in between shows.
    assert virtual.read(0x10, 4) == b"AAA\x01"
    virtual.fill(0x42, 0x10, 1)
    assert virtual.read(0x10, 4) == b"BAA\x01"


def test_reset_and_pulse_on_the_virtual_unit(virtual: pelmo.Emulator):
    for level in ("low", "high", "released", "active", "inactive", 0, 2):
        virtual.reset(level)
    virtual.pulse()
    virtual.pulse(1)
    with pytest.raises(pelmo.ArgumentError):
        virtual.reset("sideways")
    with pytest.raises(pelmo.ArgumentError):
        virtual.pulse(-1)


# Bad arguments: each refused before the library is called, with nothing written.
BAD_CALLS = [
    ("load past the device", lambda e, p: e.load(p, length=0x10, target=0x7FF8), "INVALID LENGTH ARGUMENT"),
    ("load target past the device", lambda e, p: e.load(p, target=0x8000), "INVALID TARGET ADDRESS ARGUMENT"),
    ("load width", lambda e, p: e.load(p, width=257), "INVALID WIDTH ARGUMENT"),
    ("load verify", lambda e, p: e.load(p, verify="maybe"), "verify must be"),
    ("fill past the device", lambda e, p: e.fill(0, 0x7F00, 0x101), "INVALID LENGTH ARGUMENT"),
    ("fill start", lambda e, p: e.fill(0, 0x8000), "INVALID START ARGUMENT"),
    ("fill value", lambda e, p: e.fill(0x100), "INVALID FILL VALUE, 00 - FF REQUIRED"),
    ("checksum past the device", lambda e, p: e.checksum(1, 0x8000), "INVALID LENGTH ARGUMENT"),
    ("negative start", lambda e, p: e.checksum(-1), "outside 0..0xFFFFFFFF"),
    ("read past the device", lambda e, p: e.read(0x7FFF, 2), "INVALID LENGTH ARGUMENT"),
    ("read nothing", lambda e, p: e.read(0, 0), "length must be 1 or more"),
    ("write past the device", lambda e, p: e.write(p, length=0x8001), "INVALID LENGTH ARGUMENT"),
    ("write format", lambda e, p: e.write(p, format="elf"), "format must be"),
    ("write mode", lambda e, p: e.write(p, mode="overwrite"), "mode must be"),
    ("write record length", lambda e, p: e.write(p, record_length=0), "record_length"),
    ("write s28 entry", lambda e, p: e.write(p, format="s28", entry=0x1000000), "ADDRESSING REQUIRES S37 FORMAT"),
    ("write s19 range", lambda e, p: e.write(p, format="s19", target=0xFFF0), "do not fit S19"),
    ("write past FFFFFFFF", lambda e, p: e.write(p, target=0xFFFFFFF0, length=0x100),
     "RECORD ADDRESSES RUN PAST FFFFFFFF"),
    ("write sign-on in hex", lambda e, p: e.write(p, signon="x"), "sign-on record needs an S-record format"),
]


@pytest.mark.parametrize("what, call, text", BAD_CALLS, ids=[c[0] for c in BAD_CALLS])
def test_bad_arguments_are_refused_before_the_unit(tmp_path: Path, virtual: pelmo.Emulator, what, call, text):
    image = tmp_path / "image.bin"
    image.write_bytes(b"\x11" * 16)
    virtual.fill(0x77)
    out = tmp_path / "out" if what.startswith("write") else image
    with pytest.raises(pelmo.ArgumentError, match=text) as caught:
        call(virtual, out)
    assert isinstance(caught.value, ValueError)
    assert virtual.checksum() == 0x77 * 0x8000
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("kwargs, text", [({"eprom": "27999"}, "unknown EPROM type '27999'"),
                                          ({"unit": 7}, "unit must be 0..3 or 'virtual'"),
                                          ({"unit": "usb"}, "unit must be"),
                                          ({"fold": "half"}, "fold must be"),
                                          ({"reset_active": "up"}, "reset level")])
def test_bad_emulator_arguments(kwargs, text):
    with pytest.raises(pelmo.ArgumentError, match=text):
        pelmo.Emulator(**{"unit": "virtual", **kwargs})


def test_library_texts_for_files(tmp_path: Path, virtual: pelmo.Emulator):
    with pytest.raises(pelmo.ImageFileError, match=r"CAN'T OPEN LOAD FILE \(No such file or directory\)"):
        virtual.load(tmp_path / "missing.hex")
    with pytest.raises(pelmo.ImageFileError, match="CAN'T OPEN LOAD FILE"):
        virtual.load(tmp_path)
    (tmp_path / "empty.hex").write_bytes(b"")
    with pytest.raises(pelmo.ImageFileError, match="^LOAD FILE IS EMPTY$"):
        virtual.load(tmp_path / "empty.hex")
    with pytest.raises(pelmo.ImageFileError, match=r"ERROR OPENING OUTPUT FILE \(No such file or directory\)"):
        virtual.write(tmp_path / "no" / "such.hex")
    # The library's own limit: a name of 300 characters.
    with pytest.raises(pelmo.ArgumentError, match="^File Name is Too Long$"):
        virtual.load("x" * 300)
    # A file the library read but could not take as an image.
    (tmp_path / "bad.hex").write_text(":10000000ZZ\n")
    with pytest.raises(pelmo.ImageFileError, match=r"^LOAD FAILURE: .*\(Line #1\)$"):
        virtual.load(tmp_path / "bad.hex")
    with pytest.raises(pelmo.ImageFileError, match=r"^VERIFY FAILURE: "):
        virtual.load(tmp_path / "bad.hex", verify="only")


def _raw_write(name: Path, fmt: int = 1, mode: int = 0, record_length: int = 32, target: int = 0,
               length: int = 0) -> tuple[int, str]:
    """VXAWrite called directly, past the package's own checks: its status and text."""
    import ctypes
    from pelmo._library import TEXT_SIZE, library
    buffer = ctypes.create_string_buffer(TEXT_SIZE)
    r = library().VXAWrite(buffer, bytes(name), 0, length, mode, fmt, 1, record_length, 0x100, 1 if target else 0,
                           target - (1 << 32) if target >= 1 << 31 else target, 0, 0, b"", 1, 0, 0, 2)
    return r, buffer.value.decode("latin-1")


@pytest.mark.parametrize("kwargs, text", [
    ({"target": 0xFFFFFFF0, "length": 0x100}, "RECORD ADDRESSES RUN PAST FFFFFFFF"),
    ({"fmt": 9}, "INVALID FORMAT ARGUMENT"),
    ({"mode": 7}, "INVALID FILE MODE ARGUMENT"),
    ({"record_length": 0}, "INVALID RECORD LENGTH ARGUMENT"),
])
def test_the_library_s_own_argument_refusals_are_argument_errors(tmp_path: Path, virtual: pelmo.Emulator,
                                                                  kwargs, text):
    r, said = _raw_write(tmp_path / "out.hex", **kwargs)
    assert r != 0 and text in said
    error = pelmo.errors.from_library_text(said)
    assert type(error) is pelmo.ArgumentError and error.lines[0].startswith(text)
    assert not (tmp_path / "out.hex").exists()


def test_one_unit_per_process(virtual: pelmo.Emulator):
    other = pelmo.Emulator(unit="virtual", eprom="27512")
    with pytest.raises(pelmo.UnitInUseError, match="already open in this process"):
        other.open()
    with pytest.raises(pelmo.UnitInUseError):
        pelmo.find()
    # The first unit is untouched: still a 27256.
    virtual.fill(1)
    assert virtual.checksum() == 0x8000
    virtual.close()
    with other:
        assert other.size == 0x10000


def test_a_closed_emulator_refuses_operations():
    emu = pelmo.Emulator(unit="virtual")
    with pytest.raises(pelmo.EmulatorError, match="is not open"):
        emu.checksum()
    with emu:
        pass
    with pytest.raises(pelmo.EmulatorError, match="is not open"):
        emu.fill(0)


def test_a_usb_unit_that_is_not_there():
    # No simulated units in this process, and no hardware: unit 2 does not answer.
    with pytest.raises(pelmo.UnitNotFoundError) as caught:
        pelmo.Emulator(unit=2).open()
    e = caught.value
    assert e.lines == ["UNABLE TO ACCESS UNIT 2", "DEVICE FAILURE (SUBCODE 000-5)"]
    assert (e.subcode, e.stage, e.code) == ("000-5", 0, 5)
    assert pelmo.find() == []
    # Nothing is left open: the next Emulator opens.
    with pelmo.Emulator(unit="virtual"):
        pass


def test_help_reads_well():
    text = pydoc.render_doc(pelmo, renderer=pydoc.plaintext)
    for part in ("class Emulator", "find()", "VerifyError", "PELMO_EMUCORE", "load(self, path"):
        assert part in text, part
    assert "Loads an image file" in pydoc.render_doc(pelmo.Emulator.load, renderer=pydoc.plaintext)


def _elf32_le(segments: list[tuple[int, bytes]]) -> bytes:
    """A minimal ELF32 little-endian executable: one PT_LOAD per (paddr, bytes)."""
    import struct
    phoff, phsize = 52, 32
    data_at = phoff + phsize * len(segments)
    header = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9) + struct.pack(
        "<HHIIIIIHHHHHH", 2, 40, 1, 0x100, phoff, 0, 0, 52, phsize, len(segments), 0, 0, 0)
    tables, blobs = b"", b""
    for paddr, blob in segments:
        tables += struct.pack("<IIIIIIII", 1, data_at + len(blobs), 0x20000000 + paddr, paddr,
                              len(blob), len(blob) + 0x40, 5, 4)
        blobs += blob
    return header + tables + blobs


def test_elf_segments_load_at_their_physical_addresses(tmp_path: Path, virtual: pelmo.Emulator):
    text, data = os.urandom(0x30), os.urandom(0x10)
    (tmp_path / "fw.elf").write_bytes(_elf32_le([(0x100, text), (0x4000, data)]))
    virtual.fill(0xFF)
    result = virtual.load(tmp_path / "fw.elf")
    assert "Load/Verify Completed with no errors (40 Bytes Loaded)" in result.lines
    assert virtual.read(0x100, 0x30) == text
    assert virtual.read(0x4000, 0x10) == data
    # Neither the headers nor the zero-filled rest of a segment reach the unit.
    assert virtual.read(0, 0x100) == b"\xff" * 0x100
    assert virtual.read(0x130, 0x40) == b"\xff" * 0x40
    # A broken file is refused with the library's text, the unit untouched.
    (tmp_path / "cut.elf").write_bytes(_elf32_le([(0x100, text)])[:60])
    with pytest.raises(pelmo.ImageFileError, match="^LOAD FAILURE: .*ELF"):
        virtual.load(tmp_path / "cut.elf")
    assert virtual.read(0x100, 0x30) == text
