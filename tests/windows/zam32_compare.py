#!/usr/bin/env python3
"""zam32 in batch mode: one table of command lines, run on the virtual port and on a
simulated USB unit, through the Linux zam32 and (with --exe) through zam32.exe under
wine. Each run is checked on its own (exit status, lines it must show, the images it
wrote, read back with srec_cat against the source image); the two platforms' runs are
then compared: same transcript apart from line ends and the system's own error texts
in parentheses, same files left behind, the same bytes in every file written. Last, each
platform reads the ZAM32.CFG the other one wrote.

  zam32_compare.py --linux build/bin/zam32 [--exe build-win/bin/zam32.exe] [--wine PATH]

Without --exe only the Linux side runs. WINEPREFIX, when set, names the prefix to use;
otherwise one is made in a temporary folder and its wineserver stopped at the end.
Exit status 0 when every check passed, 1 otherwise.
"""
import argparse
import concurrent.futures
import difflib
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile

DEVICE = 0x8000  # T 27256
SIM_USB = "unit=0,ram=32"
# A forced OS class, so that both platforms print the same banner and apply the same
# family's rules (the Windows build is of the NT family, Linux defaults to the other).
OS_CLASS = "5"
GUARD_SECONDS = 120  # a hang shows as a failed case, never as a stuck run
PORTS = {"V": "p v", "U": "p u"}

# ---- fixtures -------------------------------------------------------------------------


def elf32(segments, entry):
    """A little-endian ELF32 executable with one PT_LOAD per (paddr, bytes)."""
    ehsize, phsize = 52, 32
    offset = ehsize + phsize * len(segments)
    head = struct.pack("<4sBBBB8xHHIIIIIHHHHHH", b"\x7fELF", 1, 1, 1, 0, 2, 40, 1, entry, ehsize, 0, 0,
                       ehsize, phsize, len(segments), 40, 0, 0)
    phdrs, body = b"", b""
    for paddr, data in segments:
        phdrs += struct.pack("<IIIIIIII", 1, offset + len(body), paddr + 0x80000000, paddr, len(data), len(data), 5, 4)
        body += data
    return head + phdrs + body


class Fixtures:
    """The source images, made once and copied into every run's folder."""

    def __init__(self, folder, srec):
        self.folder = folder
        self.srec = srec
        rnd = random.Random(22)
        image = bytearray(rnd.randrange(256) for _ in range(DEVICE))
        # Bytes a text-mode read or write would turn: CR LF, LF alone, ^Z (DOS end of file).
        image[0x10:0x16] = b"\r\n\x1a\n\r\x00"
        self.image = bytes(image)
        self.part = bytes(rnd.randrange(256) for _ in range(0x100))
        self.elf_a = bytes(rnd.randrange(256) for _ in range(0x40))
        self.elf_b = bytes(rnd.randrange(256) for _ in range(0x30))
        self.write("img.bin", self.image)
        self.mega = bytes(rnd.randrange(256) for _ in range(0x100000))
        self.write("mega.bin", self.mega)
        self.srec_cat("mega.bin -binary -o mega.s37 -motorola -address-length=4")
        os.remove(os.path.join(folder, "mega.bin"))
        self.write("part.bin", self.part)
        self.srec_cat("img.bin -binary -o img.hex -intel")
        self.srec_cat("img.bin -binary -o img.s37 -motorola -address-length=4")
        # The part image linked at C000, for a load that moves it to 4000.
        self.srec_cat("part.bin -binary -offset 0xC000 -o part.hex -intel")
        self.srec_cat("-generate 0x7FF0 0x8010 -constant 0x55 -o big.hex -intel")
        self.write("bad.hex", b":10000000000102030405060708090A0B0C0D0E0F78\n"
                              b":10001000101112131415161718191A1B1C1D1E1F68\n"
                              b":1000200020212223ZZ25262728292A2B2C2D2E2F58\n")
        self.write("prog.elf", elf32([(0x1000, self.elf_a), (0x2000, self.elf_b)], 0x1004))
        self.write("exists.bin", b"kept as it was\n")
        self.write("setup.cmd", b"// set up and load\r\nl img.hex,,,,,V\r\ns 0,100\r\n")
        self.write("inner.cmd", b"f 11,0,10\n@ nosuch.cmd\nf 22,0,10\n")
        self.write("outer.cmd", b"@ inner.cmd\n")
        self.write("shell.cmd", b"!echo hello\n!exit 3\n= 1\n")
        os.mkdir(os.path.join(folder, "sub"))
        self.names = sorted(os.listdir(folder))
        self.large = {"mega.s37"}

    def write(self, name, data):
        with open(os.path.join(self.folder, name), "wb") as f:
            f.write(data)

    def srec_cat(self, args):
        subprocess.run([self.srec] + args.split(), cwd=self.folder, check=True, stdin=subprocess.DEVNULL)

    def copy_into(self, folder, line=None):
        """The fixtures into a run's folder; the large image only when the line names it."""
        for name in self.names:
            if name in self.large and (line is None or name not in line):
                continue
            src = os.path.join(self.folder, name)
            if os.path.isdir(src):
                os.mkdir(os.path.join(folder, name))
            else:
                shutil.copyfile(src, os.path.join(folder, name))


def checksum_line(data):
    s = sum(data)
    return "CHECKSUM = %04X-%04X" % (s >> 16, s & 0xFFFF)


# ---- the table ------------------------------------------------------------------------
#
# line:    the batch command line after "/b <port>;u 0;t <eprom>;" (or the whole line with
#          whole=True); ports: where it runs; status: the exit status; shown: texts the
#          transcript holds in this order (callables get the fixtures); images: files
#          written, each (name, srec_cat format, first address in the file, expected bytes);
#          files: files compared byte for byte with the expected bytes; answer: standard
#          input of the batch run (else none); piped: no batch line, these bytes are the
#          session on standard input after the port's lines; setup: more files in the
#          run's folder, name to bytes (None: a folder); sim: the simulated USB units.

def T(name, line, status=0, shown=(), ports="VU", images=(), files=(), whole=False, argv=False, answer=None,
      piped=None, setup=None, eprom="27256", sim=SIM_USB):
    return dict(name=name, line=line, status=status, shown=list(shown), ports=ports, images=list(images),
                files=list(files), whole=whole, argv=argv, answer=answer, piped=piped, setup=setup or {},
                eprom=eprom, sim=sim)


CASES = [
    T("load-hex-verify-checksum", "l img.hex,,,,,V;s",
      shown=["Checking P%(p)sU0 as 27256", "Load/Verify Completed with no errors (8000 Bytes Loaded)",
             "Highest address loaded was 07FFF", lambda f: checksum_line(f.image)]),
    T("load-s37-then-compare-hex", "l img.s37;l img.hex,,,,,VO;s",
      shown=["Load Completed without verification (8000 Bytes Loaded)",
             "Verify Completed with no errors (8000 Bytes Checked)", lambda f: checksum_line(f.image)]),
    T("load-moved-hex", "f ff;l part.hex,c000,,4000,,V;s 4000,100;s",
      shown=[lambda f: checksum_line(f.part),
             lambda f: checksum_line(f.part + b"\xff" * (DEVICE - 0x100))]),
    T("load-binary-odd-bytes", "f 0;l img.bin,1,,,2;s 0,4000",
      shown=[lambda f: checksum_line(f.image[1::2])]),
    T("load-elf-segments", "f ff;l prog.elf,,,,,V;s 1000,40;s 2000,30",
      shown=["Program Entry", lambda f: checksum_line(f.elf_a), lambda f: checksum_line(f.elf_b)]),
    T("fill-verify-and-check", "f 5a,,,v;f 5a,,,vo;s",
      shown=["Filling 8000 bytes at offset 0 with 5A", "Verifying 8000 bytes at offset 0 with 5A",
             checksum_line(b"\x5a" * DEVICE)]),
    T("fill-check-finds-difference", "f 0;f ff,100,10;f 0,,,vo", status=3,
      shown=["COMPARE ERROR IN EMULATOR RAM AT LOCATION 00100", "EXPECTED 00, GOT FF",
             "Verify Incomplete: 100 bytes were verified"]),
    T("write-hex", "l img.hex;w out.hex,0,8000,r,h",
      images=[("out.hex", "-intel", 0, lambda f: f.image)]),
    T("write-s37", "l img.s37;w out.s37,,,r,s37",
      shown=["Putting 8000 bytes into S37 format file"], images=[("out.s37", "-motorola", 0, lambda f: f.image)]),
    T("write-binary-back-by-variable", "l part.hex,c000,,0;w back.bin,0,$0,r",
      images=[("back.bin", "-binary", 0, lambda f: f.part)]),
    T("write-s-records-signon-entry", 'l img.hex;w out.s,0,,r,s,10,,,100,"V1.2 rom"',
      images=[("out.s", "-motorola", 0, lambda f: f.image)]),
    T("write-h32-at-other-address", "l img.hex;w out.h32,1000,1000,r,h32,,,8000",
      images=[("out.h32", "-intel", 0x8000, lambda f: f.image[0x1000:0x2000])]),
    T("one-megabyte-image", "l mega.s37,,,,,v;s;w mega.hex,,,r,h;l mega.hex,,,,,vo", eprom="27080",
      sim="unit=0,ram=1024",
      shown=["Load/Verify Completed with no errors (100000 Bytes Loaded)", lambda f: checksum_line(f.mega),
             "Putting 100000 bytes into HEX format file", "Verify Completed with no errors (100000 Bytes Checked)"],
      images=[("mega.hex", "-intel", 0, lambda f: f.mega)]),
    T("write-hex-appended", "l img.hex;w two.hex,0,10,r,h-;w two.hex,10,10,a,h",
      images=[("two.hex", "-intel", 0, lambda f: f.image[:0x20])]),
    T("write-append", "f 11,0,10;w app.bin,0,10,r;f 22,0,10;w app.bin,0,10,a",
      files=[("app.bin", lambda f: b"\x11" * 16 + b"\x22" * 16)]),
    T("write-create-refuses-existing", "f 1;w exists.bin,,,c", status=3,
      shown=["OUTPUT FILE ALREADY EXISTS"], files=[("exists.bin", lambda f: b"kept as it was\n")]),
    T("write-asks-without-an-answer", "f 1;w exists.bin", status=3,
      shown=["Output file already exists, Replace, Append or Cancel? (r/a/c):"],
      files=[("exists.bin", lambda f: b"kept as it was\n")]),
    T("write-replaces-existing", "f 1;w exists.bin,0,10,r", files=[("exists.bin", lambda f: b"\x01" * 16)]),
    T("write-over-a-folder", "w sub,,,r", status=3, shown=["ERROR OPENING OUTPUT FILE ("]),
    T("quoted-name-with-blank", 'l img.hex;w "my rom.hex",0,8000,r,h;f 0;l "my rom.hex",,,,,v;s',
      shown=["#1025 records written including EOF record", lambda f: checksum_line(f.image)],
      images=[("my rom.hex", "-intel", 0, lambda f: f.image)]),
    T("names-through-a-subfolder", "l img.bin;w sub/in.bin,0,100,r;f 0;l sub/../sub/in.bin,,,,,v;s 0,100",
      shown=["Load/Verify Completed with no errors (100 Bytes Loaded)", lambda f: checksum_line(f.image[:0x100])],
      images=[("sub/in.bin", "-binary", 0, lambda f: f.image[:0x100])]),
    T("write-into-missing-folder", "f 1;w nodir/out.bin,,,r", status=3, shown=["ERROR OPENING OUTPUT FILE ("]),
    T("write-unknown-format", "w out.x,,,r,q", status=3,
      shown=['COMMAND ERROR NEAR "q"', "INVALID KEYWORD FOR THIS COMMAND"]),
    T("dump-across-the-end", "l img.hex;d 7ff0,20,8;= $0",
      shown=[lambda f: dump_line(0x7FF0, f.image[0x7FF0:0x7FF8]), lambda f: dump_line(0, f.image[0:8]),
             lambda f: "$0 <- $0 = %-2X = #%d" % (f.image[0x0F], f.image[0x0F])]),
    T("edit-then-dump", 'f ff;e 100,12,34,"OK",,0;d 100,8,8',
      shown=["00100: 12 34 4F 4B FF 00 FF FF .4OK...."]),
    T("missing-load-file", "l nosuch.hex", status=3, shown=["CAN'T OPEN LOAD FILE ("]),
    T("load-a-folder", "l sub", status=3, shown=["CAN'T OPEN LOAD FILE ("]),
    T("broken-hex-record", "l bad.hex", status=3,
      shown=["LOAD FAILURE: INVALID HEX DIGIT ON DATA BYTE 05 (Line #3)"]),
    T("load-outside-device", "l big.hex", status=3,
      shown=["LOAD ATTEMPTED OUTSIDE OF EMULATED DEVICE (Line #2)"]),
    T("fill-bad-start", "f 0,8000,10", status=3, shown=['COMMAND ERROR NEAR "8000,"', "INVALID START ARGUMENT"]),
    T("checksum-bad-length", "s 0,9000", status=3, shown=['COMMAND ERROR NEAR "9000"', "INVALID LENGTH ARGUMENT"]),
    T("bad-command", "x 1;s", status=3, shown=["UNRECOGNIZED COMMAND CHARACTER"]),
    T("bad-type", "t 27c256", status=3, shown=['COMMAND ERROR NEAR "27c256"', "INVALID DEVICE TYPE KEYWORD"]),
    T("command-file", "@ setup.cmd",
      shown=["setup.cmd>// set up and load", "setup.cmd>l img.hex,,,,,V",
             "Load/Verify Completed with no errors (8000 Bytes Loaded)", lambda f: checksum_line(f.image[:0x100]),
             "setup.cmd>[EOF]"]),
    T("nested-command-file-missing", "@ outer.cmd", status=3,
      shown=["outer.cmd>@ inner.cmd", "inner.cmd>>f 11,0,10", "inner.cmd>>@ nosuch.cmd", "CAN'T OPEN COMMAND FILE ("]),
    T("list-units-and-defaults", "l img.hex,,,,,V;r h;?",
      shown=["Active Units", "%(p)s      0    27256", "img.hex,,,,,V"]),
    # The platform's command processor: its output, and its status as a warning that
    # does not stop the command file.
    T("shell-command-status", "@ shell.cmd", whole=True, ports="V",
      shown=["shell.cmd>!echo hello", "hello", "shell.cmd>!exit 3", "WARNING: COMMAND PROCESSOR RETURNED STATUS 3",
             "shell.cmd>= 1", "$0 <- 1 = 1  = #1"]),
    T("help-beside-the-program", "h w", shown=["W file[,start][,length][,fmode]"]),
    T("no-unit-selected", "p v;s", whole=True, status=3, ports="V", shown=["CURRENT EMULATOR TYPE NOT DEFINED"]),
    T("missing-usb-unit", "p u;u 1;t 27256", whole=True, status=3, ports="U",
      shown=["CANNOT ACCESS EMULATOR ON PORT u UNIT 1", "DEVICE FAILURE (SUBCODE 100-5)"]),
    T("usb-unit-too-small", "p u;u 0;t 27512", whole=True, status=3, ports="U",
      shown=["Insufficient RAM for requested device type on", "max emulated ROM is #32K-bytes"]),
    T("usb-scan", "p u?;t 27256;s", whole=True, ports="U",
      shown=["Scanning for USB devices", "u       256K -    -    -", "Checking PuU0 as 27256"]),
    T("write-asks-and-appends", "f 1,0,10;w exists.bin,0,10", answer=b"a\n",
      shown=["Output file already exists, Replace, Append or Cancel? (r/a/c): a"],
      files=[("exists.bin", lambda f: b"kept as it was\n" + b"\x01" * 16)]),
    # Sessions on standard input (no terminal): prompts and echoed lines, an error that
    # does not end the session, a question answered by the next line, the end of the
    # input quitting without saving.
    T("piped-session", None, piped=b"f 5a\ns 0,10\nx\nw exists.bin\nr\nd 7ffc,4,4\n",
      shown=["P%(p)sU0>t 27256", "P%(p)sU0>f 5a", "CHECKSUM = 0000-05A0", "P%(p)sU0>x", "UNRECOGNIZED COMMAND CHARACTER",
             "Replace, Append or Cancel? (r/a/c): r", "07FFC: 5A 5A 5A 5A ZZZZ", "P%(p)sU0>"],
      files=[("exists.bin", lambda f: b"\x5a" * DEVICE)]),
    T("piped-session-crlf", None, piped=b"l img.hex,,,,,v\r\ns\r\n= $0\r\n",
      shown=["P%(p)sU0>l img.hex,,,,,v", "Load/Verify Completed with no errors (8000 Bytes Loaded)",
             lambda f: checksum_line(f.image), "P%(p)sU0>= $0"]),
    # ZAM32.CFG in the current folder that is no configuration: a folder is neither read
    # nor written over, a damaged file is reported and replaced at the end.
    T("cfg-is-a-folder", "f 0", setup={"ZAM32.CFG": None},
      shown=["No config file found, using internal defaults", "UNABLE TO WRITE CONFIGURATION FILE",
             "ZAM32.CFG: Is a directory, not a regular file"]),
    T("cfg-damaged", "f 0", setup={"ZAM32.CFG": b"junk\n"},
      shown=["INVALID CONFIGURATION FILE", "Using Defaults", "Checking P%(p)sU0 as 27256"]),
    # The line as the program's argument instead of ZAM32ARG: the command line the
    # platform hands over must arrive as it was typed.
    T("line-as-argument", "f 3c;s;= 'A", argv=True, shown=[checksum_line(b"\x3c" * DEVICE), "$0 <- 'A = 41 = #65"]),
]


def dump_line(address, data):
    chars = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in data)
    return "%05X: %s %s" % (address, " ".join("%02X" % b for b in data), chars)


# ---- running --------------------------------------------------------------------------

class Platform:
    def __init__(self, name, command, env):
        self.name = name
        self.command = command  # the program's path last
        self.env = env

    def moved(self, folder):
        """The same platform with a copy of the program (and ZAM32.HLP) in `folder`."""
        program = self.command[-1]
        for name in (program, os.path.join(os.path.dirname(program), "ZAM32.HLP")):
            shutil.copy2(name, folder)
        return Platform(self.name, self.command[:-1] + [os.path.join(folder, os.path.basename(program))], self.env)

    def config_beside(self, folder):
        """How the program names ZAM32.CFG in its own folder `folder`: a pattern."""
        if self.name == "wine":  # a drive letter, the folders between backslashes
            return r"[A-Za-z]:" + re.escape(folder.replace("/", "\\") + "\\ZAM32.CFG")
        return re.escape(os.path.join(folder, "ZAM32.CFG"))

    def run(self, folder, zam32arg, args=(), extra_env=None, stdin=None):
        env = dict(self.env)
        for k in ("ZAM32ARG", "ZAM32OSCLASS", "PELMO_SIM_USB", "PELMO_SIM_LPT", "PELMO_SIM_LPT_TRACE", "ZAMBPS",
                  "COMSPEC", "PELMO_USB_IDS"):
            env.pop(k, None)
        env["ZAM32OSCLASS"] = OS_CLASS
        if zam32arg is not None:
            env["ZAM32ARG"] = zam32arg
        env.update(extra_env or {})
        try:
            p = subprocess.run(self.command + list(args), cwd=folder, env=env, input=stdin or b"",
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=GUARD_SECONDS)
        except subprocess.TimeoutExpired as e:
            return 124, (e.stdout or b"").decode("latin-1"), "guard time of %d s ran out" % GUARD_SECONDS
        return p.returncode, p.stdout.decode("latin-1"), p.stderr.decode("latin-1")


def linux_platform(path):
    return Platform("linux", [os.path.abspath(path)], dict(os.environ))


def wine_platform(exe, wine, prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    return Platform("wine", [wine, os.path.abspath(exe)], env)


def start_prefix(wine, prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    subprocess.run([wine, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300, check=True)


def stop_prefix(wine, prefix):
    server = os.path.join(os.path.dirname(wine), "wineserver")
    if os.access(server, os.X_OK):
        subprocess.run([server, "-k"], env=dict(os.environ, WINEPREFIX=prefix), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


# ---- comparing ------------------------------------------------------------------------

SYSTEM_TEXTS = sorted({os.strerror(i) for i in range(1, 134)}, key=len, reverse=True)
PAREN = re.compile(r"^(.*?)\((.*)\)(.*)$")


def system_text_line(ours, theirs):
    """True when two lines differ only in a parenthesised system error text: the Linux
    line's text holds a strerror() text and the rest of both lines is the same."""
    a, b = PAREN.match(ours), PAREN.match(theirs)
    if not a or not b or a.group(1) != b.group(1) or a.group(3) != b.group(3) or not b.group(2).strip():
        return False
    return any(t in a.group(2) for t in SYSTEM_TEXTS)


TOLERATED = set()  # (linux line, wine line) pairs that differ in their system text only


def same_transcript(linux, other):
    """None when equal (line ends and system error texts aside), else a diff."""
    a = linux.replace("\r\n", "\n").split("\n")
    b = other.replace("\r\n", "\n").split("\n")
    if len(a) == len(b) and all(x == y or system_text_line(x, y) for x, y in zip(a, b)):
        TOLERATED.update((x, y) for x, y in zip(a, b) if x != y)
        return None
    return "\n".join(difflib.unified_diff(a, b, "linux", "wine", lineterm=""))


def shown_in_order(out, texts):
    """The first text not found in order, or None."""
    at = 0
    for t in texts:
        i = out.find(t, at)
        if i < 0:
            return t
        at = i + len(t)
    return None


class Checker:
    def __init__(self, fixtures, srec, keep):
        self.fixtures = fixtures
        self.srec = srec
        self.keep = keep
        self.failures = []
        self.passed = 0

    def fail(self, where, text):
        self.failures.append("%s: %s" % (where, text))

    def image_bytes(self, folder, name, fmt, first):
        """The bytes of an image file from address `first` on, as srec_cat reads them."""
        out = os.path.join(folder, name + ".srec.bin")
        p = subprocess.run([self.srec, name, fmt, "-offset", "-0x%X" % first, "-o", out, "-binary"], cwd=folder,
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if p.returncode != 0:
            return None, p.stdout.decode("latin-1").strip()
        with open(out, "rb") as f:
            data = f.read()
        os.remove(out)
        return data, None

    def check_run(self, where, case, port, folder, status, out, err):
        """The checks one run must pass on its own."""
        ok = True
        if status != case["status"]:
            self.fail(where, "exit status %d, expected %d\n%s%s" % (status, case["status"], out, err))
            ok = False
        if err.strip():
            self.fail(where, "standard error not empty: %r" % err[:400])
            ok = False
        texts = [t(self.fixtures) if callable(t) else t % {"p": port.lower()} for t in case["shown"]]
        missing = shown_in_order(out.replace("\r\n", "\n"), texts)
        if missing is not None:
            self.fail(where, "transcript lacks %r (in order)\n%s" % (missing, out))
            ok = False
        for name, fmt, first, expect in case["images"]:
            data, why = self.image_bytes(folder, name, fmt, first)
            if data is None:
                self.fail(where, "srec_cat cannot read %s: %s" % (name, why))
                ok = False
            elif data != expect(self.fixtures):
                self.fail(where, "%s holds other bytes than the source image (%d bytes, %d expected)"
                          % (name, len(data), len(expect(self.fixtures))))
                ok = False
        for name, expect in case["files"]:
            with open(os.path.join(folder, name), "rb") as f:
                if f.read() != expect(self.fixtures):
                    self.fail(where, "%s does not hold what it should" % name)
                    ok = False
        return ok

    def compare_runs(self, where, case, lin, win):
        """Linux against wine: transcript, status, files left behind and their bytes."""
        ok = True
        (lfolder, lstatus, lout), (wfolder, wstatus, wout) = lin, win
        if lstatus != wstatus:
            self.fail(where, "exit status linux %d, wine %d" % (lstatus, wstatus))
            ok = False
        diff = same_transcript(lout, wout)
        if diff:
            self.fail(where, "transcripts differ\n" + diff)
            ok = False
        lnames, wnames = tree(lfolder), tree(wfolder)
        if lnames != wnames:
            self.fail(where, "files left behind differ: linux %s, wine %s"
                      % (sorted(set(lnames) - set(wnames)), sorted(set(wnames) - set(lnames))))
            ok = False
        written = [n for n in lnames if n in wnames and n not in self.fixtures.names] + [n for n, _ in case["files"]]
        for name in sorted(set(written)):
            if os.path.isdir(os.path.join(lfolder, name)):
                continue
            with open(os.path.join(lfolder, name), "rb") as a, open(os.path.join(wfolder, name), "rb") as b:
                x, y = a.read(), b.read()
            # Byte for byte: images, ZAM32.CFG and records alike (both write LF line ends).
            if x != y:
                self.fail(where, "%s differs between linux (%d bytes) and wine (%d bytes)" % (name, len(x), len(y)))
                ok = False
        return ok


def tree(folder):
    """Every file and folder below `folder`, as paths relative to it."""
    names = []
    for top, dirs, files in os.walk(folder):
        rel = os.path.relpath(top, folder)
        names += [os.path.normpath(os.path.join(rel, n)) for n in dirs + files]
    return sorted(names)


def case_line(case, port):
    line = case["line"] if case["whole"] else "%s;u 0;t %s;%s" % (PORTS[port], case["eprom"], case["line"])
    return line


def run_case(platform, fixtures, case, port, folder):
    os.mkdir(folder)
    fixtures.copy_into(folder, case["line"] or "")
    for name, data in case["setup"].items():
        if data is None:
            os.mkdir(os.path.join(folder, name))
        else:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
    line = case_line(case, port)
    extra = {"PELMO_SIM_USB": case["sim"]} if port == "U" else {}
    if case["piped"] is not None:
        end = b"\r\n" if b"\r\n" in case["piped"] else b"\n"
        session = end.join(x.encode() for x in (PORTS[port], "u 0", "t " + case["eprom"])) + end + case["piped"]
        status, out, err = platform.run(folder, None, (), extra, session)
    elif case["argv"]:
        status, out, err = platform.run(folder, None, ["/b", line], extra, case["answer"])
    else:
        status, out, err = platform.run(folder, "/b " + line, (), extra, case["answer"])
    return status, out, err


def run_one(platforms, fixtures, checker, work, case, port):
    runs = {}
    good = True
    for pf in platforms:
        where = "%s [%s] %s" % (case["name"], port, pf.name)
        folder = os.path.join(work, pf.name, "%s-%s" % (case["name"], port))
        status, out, err = run_case(pf, fixtures, case, port, folder)
        with open(folder + ".out", "w", encoding="latin-1") as f:
            f.write("status %d\n%s%s" % (status, out, err))
        good &= checker.check_run(where, case, port, folder, status, out, err)
        runs[pf.name] = (folder, status, out)
    if len(platforms) == 2:
        good &= checker.compare_runs("%s [%s]" % (case["name"], port), case, runs["linux"], runs["wine"])
    return good


def run_table(platforms, fixtures, checker, work, only, jobs):
    todo = [(case, port) for case in CASES if not only or re.search(only, case["name"]) for port in case["ports"]]
    # Each run has its own folder and its own process: runs may overlap, the report
    # keeps the table's order.
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        results = [pool.submit(run_one, platforms, fixtures, checker, work, case, port) for case, port in todo]
        for (case, port), result in zip(todo, results):
            good = result.result()
            checker.passed += good
            print("%-4s %-34s %s %s" % ("ok" if good else "FAIL", case["name"], port,
                                        " ".join(pf.name for pf in platforms)))
            sys.stdout.flush()


# ---- ZAM32.CFG across the platforms ---------------------------------------------------

# A session with something in every part of the file: two ports (the current one last),
# units with fold mode, reset levels and L defaults, lanes, D length and width, key texts.
FF = " ".join(["FF"] * 16)
CFG_SESSIONS = {
    "V": ('p v;u 1;t 27256;u 0;t 27256;l img.hex,,,,,V;r h;d 100,20,8;'
          'k 2,";s\\r";k c1,"p v;u 0;t 27256\\r";k f10;u 01;q',
          ["Checking PvU1 as 27256", "Checking PvU0 as 27256", "v      1    27256,pf ZL     (none)",
           "v      0    27256,pf HL     img.hex,,,,,V", 'F2  ";s\\r"', 'C1  "p v;u 0;t 27256\\r"',
           "00000: " + FF[:23] + " ........", "00018: " + FF[:23] + " ........"]),
    "U": ('p v;u 0;t 27256;l part.bin,0,0,100;p u;u 0;t 27256,nf;r lz;l img.s37,,,,,V;d 0,40,10;'
          'k s3,"\\rl %0;s\\r";q',
          ["Checking PvU0 as 27256", "Checking PuU0 as 27256", "v      0    27256,pf ZL     part.bin,,,100,,NV",
           "u      0    27256,nf LZ     img.s37,,,,,V", 'S3  "\\rl %0;s\\r"', "00030: " + FF + " " + "." * 16]),
}
CFG_READBACK = "?;k;d 0;qn"


def cfg_bytes(folder):
    with open(os.path.join(folder, "ZAM32.CFG"), "rb") as f:
        return f.read()


def run_cfg(platforms, fixtures, checker, work):
    """Each platform writes the session; each reads back the file of every platform
    (its own is the reference for the transcript); the files written must be the
    same bytes, and a read-back that changes nothing writes nothing."""
    by_name = {pf.name: pf for pf in platforms}
    for port, (session, shown) in CFG_SESSIONS.items():
        extra = {"PELMO_SIM_USB": SIM_USB}
        written = {}
        for pf in platforms:
            where = "cfg [%s] %s writes" % (port, pf.name)
            folder = os.path.join(work, "cfg-%s-%s" % (port, pf.name))
            os.mkdir(folder)
            fixtures.copy_into(folder)
            status, out, err = pf.run(folder, "/b " + session, (), extra)
            if status != 0 or err.strip() or not os.path.exists(os.path.join(folder, "ZAM32.CFG")):
                checker.fail(where, "status %d, no ZAM32.CFG or errors\n%s%s" % (status, out, err))
                continue
            written[pf.name] = cfg_bytes(folder)
        good = len(written) == len(platforms)
        if len(written) == 2 and written["linux"] != written["wine"]:
            at = next(i for i in range(min(map(len, written.values()))) if written["linux"][i] != written["wine"][i]) \
                if len(written["linux"]) == len(written["wine"]) else -1
            checker.fail("cfg [%s]" % port, "ZAM32.CFG differs: linux %d bytes, wine %d bytes, first difference at %d"
                         % (len(written["linux"]), len(written["wine"]), at))
            good = False
        # reader -> writer -> transcript
        readback = {}
        for writer, data in written.items():
            for reader in platforms:
                where = "cfg [%s] %s reads %s's" % (port, reader.name, writer)
                folder = os.path.join(work, "cfg-%s-%s-reads-%s" % (port, reader.name, writer))
                os.mkdir(folder)
                with open(os.path.join(folder, "ZAM32.CFG"), "wb") as f:
                    f.write(data)
                status, out, err = reader.run(folder, "/b " + CFG_READBACK, (), extra)
                missing = shown_in_order(out.replace("\r\n", "\n"), shown)
                if status != 0 or err.strip() or missing is not None or "INVALID CONFIGURATION FILE" in out:
                    checker.fail(where, "status %d, lacks %r\n%s%s" % (status, missing, out, err))
                    good = False
                elif cfg_bytes(folder) != data:
                    checker.fail(where, "a read-back that changed nothing rewrote ZAM32.CFG")
                    good = False
                readback[(reader.name, writer)] = out
        for reader in by_name:
            own = readback.get((reader, reader))
            for writer in written:
                theirs = readback.get((reader, writer))
                if own is not None and theirs is not None and own != theirs:
                    checker.fail("cfg [%s] %s" % (port, reader), "reading %s's file shows otherwise than its own\n%s"
                                 % (writer, "\n".join(difflib.unified_diff(own.split("\n"), theirs.split("\n"),
                                                                           lineterm=""))))
                    good = False
        # A file changed by the other platform (written over the one there) reads back
        # on the first with the change and everything else as it was.
        for first in platforms:
            for other in platforms:
                if first.name not in written or (len(platforms) == 2 and first is other):
                    continue
                where = "cfg [%s] %s changes %s's, %s reads it" % (port, other.name, first.name, first.name)
                folder = os.path.join(work, "cfg-%s-%s-changes-%s" % (port, other.name, first.name))
                os.mkdir(folder)
                with open(os.path.join(folder, "ZAM32.CFG"), "wb") as f:
                    f.write(written[first.name])
                status, out, err = other.run(folder, '/b k 4,"changed\\r";q', (), extra)
                if status != 0 or err.strip() or cfg_bytes(folder) == written[first.name]:
                    checker.fail(where, "status %d, ZAM32.CFG not rewritten\n%s%s" % (status, out, err))
                    good = False
                    continue
                status, out, err = first.run(folder, "/b " + CFG_READBACK, (), extra)
                out = out.replace("\r\n", "\n")
                missing = shown_in_order(out, shown) or shown_in_order(out, ['\nF4  "changed\\r"\n'])
                if status != 0 or err.strip() or missing is not None:
                    checker.fail(where, "status %d, lacks %r\n%s%s" % (status, missing, out, err))
                    good = False
        # Without a ZAM32.CFG in the current folder the one beside the program is read
        # (the other platform's, when there are two), and nothing is written.
        beside = {}
        for reader in platforms:
            writer = next((w for w in written if w != reader.name), reader.name)
            if writer not in written:
                continue
            where = "cfg [%s] %s reads %s's beside the program" % (port, reader.name, writer)
            base = os.path.join(work, "cfg-%s-%s-beside" % (port, reader.name))
            program_dir, folder = os.path.join(base, "program"), os.path.join(base, "cwd")
            os.makedirs(program_dir)
            os.mkdir(folder)
            with open(os.path.join(program_dir, "ZAM32.CFG"), "wb") as f:
                f.write(written[writer])
            status, out, err = reader.moved(program_dir).run(folder, "/b " + CFG_READBACK, (), extra)
            out = out.replace("\r\n", "\n")
            named = re.compile(r'^Using default config file "%s"$' % reader.config_beside(program_dir), re.M)
            missing = shown_in_order(out, shown)
            if status != 0 or err.strip() or missing is not None or not named.search(out):
                checker.fail(where, "status %d, lacks %r or the file's name\n%s%s" % (status, missing, out, err))
                good = False
            elif os.listdir(folder) or cfg_bytes(program_dir) != written[writer]:
                checker.fail(where, "a read-back that changed nothing wrote ZAM32.CFG")
                good = False
            beside[reader.name] = named.sub('Using default config file "<program folder>"', out)
        if len(beside) == 2:
            diff = same_transcript(beside["linux"], beside["wine"])
            if diff:
                checker.fail("cfg [%s] beside the program" % port, "transcripts differ\n" + diff)
                good = False
        if len(platforms) == 2:
            a, b = readback.get(("linux", "linux")), readback.get(("wine", "wine"))
            if a is not None and b is not None:
                diff = same_transcript(a, b)
                if diff:
                    checker.fail("cfg [%s]" % port, "read-back transcripts differ\n" + diff)
                    good = False
        checker.passed += good
        print("%-4s %-34s %s %s" % ("ok" if good else "FAIL", "cfg-written-and-read-back", port,
                                    " ".join(pf.name for pf in platforms)))


# ---- main -----------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--linux", required=True, help="the Linux zam32 (ZAM32.HLP beside it)")
    ap.add_argument("--exe", help="zam32.exe (ZAM32.HLP beside it); without it only Linux runs")
    ap.add_argument("--wine", default="/usr/lib/wine/wine64")
    ap.add_argument("--srec-cat", default=shutil.which("srec_cat") or "srec_cat")
    ap.add_argument("--keep", help="folder for the runs, kept afterwards (default: a temporary one)")
    ap.add_argument("--jobs", type=int, default=2, help="runs at a time (default 2)")
    ap.add_argument("--only", help="run only the cases whose name matches this pattern")
    a = ap.parse_args()

    for prog in [a.linux] + ([a.exe] if a.exe else []):
        cfg = os.path.join(os.path.dirname(os.path.abspath(prog)), "ZAM32.CFG")
        if os.path.exists(cfg):
            print("%s would be read by every run: remove it first" % cfg, file=sys.stderr)
            return 1

    work = a.keep or tempfile.mkdtemp(prefix="zam32_compare.")
    os.makedirs(work, exist_ok=True)
    made_prefix = None
    try:
        fixtures_dir = os.path.join(work, "fixtures")
        os.mkdir(fixtures_dir)
        fixtures = Fixtures(fixtures_dir, a.srec_cat)
        platforms = [linux_platform(a.linux)]
        if a.exe:
            prefix = os.environ.get("WINEPREFIX")
            if not prefix:
                prefix = made_prefix = os.path.join(work, "wineprefix")
            start_prefix(a.wine, prefix)
            platforms.append(wine_platform(a.exe, a.wine, prefix))
        for pf in platforms:
            os.mkdir(os.path.join(work, pf.name))
        checker = Checker(fixtures, a.srec_cat, a.keep)
        run_table(platforms, fixtures, checker, work, a.only, max(1, a.jobs))
        if not a.only or re.search(a.only, "cfg-written-and-read-back"):
            run_cfg(platforms, fixtures, checker, work)
    finally:
        if made_prefix:
            stop_prefix(a.wine, made_prefix)
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)
    for x, y in sorted(TOLERATED):
        print("system text: %s\n         vs: %s" % (x, y))
    for f in checker.failures:
        print("\nFAIL " + f)
    print("\n%d checks passed, %d failures (%s)" % (checker.passed, len(checker.failures),
                                                    " and ".join(pf.name for pf in platforms)))
    return 1 if checker.failures else 0


if __name__ == "__main__":
    sys.exit(main())
