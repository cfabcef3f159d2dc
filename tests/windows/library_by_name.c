/* The library as a Windows caller binds it: emucore.dll loaded by name with
 * LoadLibraryA, its twelve functions resolved with GetProcAddress under the names of
 * the target's calling convention, then one session on the virtual unit: open, size,
 * fill, load a HEX file with verify, checksum, write it back as HEX, and read that
 * file in again. Run in a folder of its own; exit status 0 when every result was as
 * expected, failures are printed. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "emucore/emucore.h"

#ifdef _WIN64
#define EXPORT_NAME(fn, bytes) #fn
#else
#define EXPORT_NAME(fn, bytes) "_" #fn "@" #bytes
#endif

static HMODULE g_lib;
static int g_failures;

static FARPROC Bind(const char* name) {
    FARPROC p = GetProcAddress(g_lib, name);
    if (p == NULL) {
        printf("FAIL missing export %s\n", name);
        exit(2);
    }
    return p;
}
/* Through a generic function pointer: the cast between function pointer types is the
 * documented use of GetProcAddress's result. */
#define BIND(fn, bytes) fn##_fn p##fn = (fn##_fn)(void (*)(void))Bind(EXPORT_NAME(fn, bytes))

static char g_text[VXA_TEXT_SIZE];

static void Expect(long got, long want, const char* what) {
    if (got != want) {
        printf("FAIL %s: got %ld, want %ld (text: %s)\n", what, got, want, g_text);
        ++g_failures;
    }
}

static void ExpectText(const char* text, const char* part, const char* what) {
    if (strstr(text, part) == NULL) {
        printf("FAIL %s: \"%s\" not in \"%s\"\n", what, part, text);
        ++g_failures;
    }
}

/* 0x200 bytes of a pattern at 0x100, as 16-byte records. */
static unsigned char Pattern(unsigned i) { return (unsigned char)(i * 7u + 3u); }

static int WriteHexImage(const char* name, unsigned long* sum) {
    FILE* f = fopen(name, "wb");
    if (f == NULL) return 0;
    *sum = 0;
    for (unsigned at = 0; at < 0x200; at += 16) {
        const unsigned address = 0x100 + at;
        unsigned check = 16 + (address >> 8) + (address & 0xFF);
        fprintf(f, ":10%04X00", address);
        for (unsigned k = 0; k < 16; ++k) {
            const unsigned char b = Pattern(at + k);
            fprintf(f, "%02X", b);
            check += b;
            *sum += b;
        }
        fprintf(f, "%02X\r\n", (0x100 - (check & 0xFF)) & 0xFF);
    }
    fputs(":00000001FF\r\n", f);
    return fclose(f) == 0;
}

int main(void) {
    g_lib = LoadLibraryA("emucore.dll");
    if (g_lib == NULL) {
        printf("FAIL LoadLibraryA(\"emucore.dll\"): error %lu\n", GetLastError());
        return 2;
    }
    BIND(VXAInit, 0);
    BIND(VXAFind, 0);
    BIND(VXAOpen, 8);
    BIND(VXASetReset, 12);
    BIND(VXAQTest, 12);
    BIND(VXALoad, 44);
    BIND(VXAFill, 36);
    BIND(VXAWrite, 72);
    BIND(VXACksum, 32);
    BIND(VXAViewOpen, 20);
    BIND(VXAViewFormat, 16);
    BIND(VXAViewClose, 0);
    char* text = g_text;
    char view[200];
    uint32_t sum = 0;
    unsigned long want = 0;
    /* A folder of an earlier run: what it wrote would fail the create. */
    DeleteFileA("out.hex");
    if (!WriteHexImage("in.hex", &want)) {
        printf("FAIL cannot write in.hex\n");
        return 2;
    }

    pVXAInit();
    Expect(pVXAFind(), VXA_VIRTUAL_UNIT, "VXAFind");
    Expect(pVXAOpen(VXA_VIRTUAL_UNIT, 3), 8192, "VXAOpen(4,3)");
    Expect(pVXAQTest(0, 0, 0), 8, "VXAQTest");
    Expect(pVXASetReset(1, 0, 1), 0, "VXASetReset");
    Expect(pVXAFill(text, 0, 0, 0, 1, 0, 0, 0, 0), 0, "VXAFill with zeros");
    Expect(pVXALoad(text, "in.hex", 0, 0, 0, 1, 1, 0, 0, 0, 0), 0, "VXALoad with verify");
    ExpectText(text, "Load/Verify Completed with no errors (200 Bytes Loaded)", "load text");
    Expect(pVXACksum(text, &sum, 0, 0, 0, 0, 0, 0), 0, "VXACksum");
    Expect((long)sum, (long)want, "checksum of the loaded image");
    Expect(pVXAViewOpen(text, 0, 0, 0, 0), 0, "VXAViewOpen");
    Expect(pVXAViewFormat(view, 0x100, 2, 2), 0, "VXAViewFormat");
    Expect(strncmp(view, " 000100  03 0A", 14), 0, "view line");
    pVXAViewClose();
    /* HEX (format 1), create mode, no fill removal: the whole loaded stretch. */
    Expect(pVXAWrite(text, "out.hex", 0x100, 0x200, 0, 1, 1, 16, 0x100, 0, 0, 0, 0, "", 0, 0, 0, 0), 0, "VXAWrite");
    Expect(pVXAWrite(text, "out.hex", 0x100, 0x200, 0, 1, 1, 16, 0x100, 0, 0, 0, 0, "", 0, 0, 0, 0), 1,
           "VXAWrite over an existing file in create mode");
    ExpectText(text, "OUTPUT FILE ALREADY EXISTS", "create-mode text");
    Expect(pVXALoad(text, "missing.hex", 0, 0, 0, 1, 1, 0, 0, 0, 0), 1, "VXALoad of a missing file");
    ExpectText(text, "CAN'T OPEN LOAD FILE (", "missing-file text");
    if (strstr(text, "Unknown System Error") != NULL) {
        printf("FAIL no system text for a missing file: %s\n", text);
        ++g_failures;
    }
    /* What was written reads back as the same image. */
    Expect(pVXAFill(text, 0, 0, 0, 1, 0, 0, 0, 0), 0, "VXAFill with zeros again");
    Expect(pVXALoad(text, "out.hex", 0, 0, 0, 1, 1, 0, 0, 0, 0), 0, "VXALoad of the written file");
    Expect(pVXACksum(text, &sum, 0, 0, 0, 0, 0, 0), 0, "VXACksum after reading back");
    Expect((long)sum, (long)want, "checksum after reading back");
    if (!FreeLibrary(g_lib)) {
        printf("FAIL FreeLibrary: error %lu\n", GetLastError());
        ++g_failures;
    }
    if (g_failures == 0) printf("emucore.dll by name: all results as expected\n");
    return g_failures ? 1 : 0;
}
