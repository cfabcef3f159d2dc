/* A C caller of emucore: binds the library at run time by file name and export
 * name, as the windowed application does, and runs one scripted session.
 *
 *   c_session LIBRARY golden     a session whose debug stream is compared with a golden file
 *   c_session LIBRARY late       "emucoredebug" set only after the first call
 *   c_session LIBRARY retry DIR  the debug file's folder made only after the first call
 *
 * Exit status 0 when every result was as expected; failures are printed. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "emucore/emucore.h"

/* The pointer types in the header must match the prototypes. */
#define SAME_TYPE(fn) _Static_assert(_Generic(&fn, fn##_fn : 1, default : 0), #fn " pointer type differs")
SAME_TYPE(VXAInit);
SAME_TYPE(VXAFind);
SAME_TYPE(VXAOpen);
SAME_TYPE(VXASetReset);
SAME_TYPE(VXAQTest);
SAME_TYPE(VXALoad);
SAME_TYPE(VXAFill);
SAME_TYPE(VXAWrite);
SAME_TYPE(VXACksum);
SAME_TYPE(VXAViewOpen);
SAME_TYPE(VXAViewFormat);
SAME_TYPE(VXAViewClose);

static void* g_lib;
static int g_failures;

static void* Bind(const char* name) {
    void* p = dlsym(g_lib, name);
    if (p == NULL) {
        fprintf(stderr, "missing export %s\n", name);
        exit(2);
    }
    return p;
}
#define BIND(fn) fn##_fn p##fn = (fn##_fn)Bind(#fn)

static void Expect(long got, long want, const char* what) {
    if (got != want) {
        printf("FAIL %s: got %ld, want %ld\n", what, got, want);
        ++g_failures;
    }
}

static int Golden(void) {
    BIND(VXAInit);
    BIND(VXAFind);
    BIND(VXAOpen);
    BIND(VXASetReset);
    BIND(VXAQTest);
    BIND(VXALoad);
    BIND(VXAFill);
    BIND(VXAWrite);
    BIND(VXACksum);
    BIND(VXAViewOpen);
    BIND(VXAViewFormat);
    BIND(VXAViewClose);
    char text[VXA_TEXT_SIZE];
    char view[200];
    uint32_t sum = 0;

    pVXAInit();
    Expect(pVXAFind(), 4, "VXAFind");
    /* Rejected calls are traced too. */
    strcpy(text, "untouched");
    Expect(pVXALoad(text, "early.hex", 0, 0, 0, 1, 0, 0, 0, 0, 0), -1, "VXALoad before open");
    Expect(strcmp(text, "untouched"), 0, "text after rejected load");
    Expect(pVXASetReset(0, 0, 0), -1, "VXASetReset before open");
    Expect(pVXAQTest(0, 0, 0), -1, "VXAQTest before open");
    Expect(pVXAOpen(4, 3), 8192, "VXAOpen(4,3)");
    Expect(pVXAFill(text, 0x5A, 0, 0, 1, 0, 0, 0, 0), -1, "VXAFill before VXAQTest");
    Expect(pVXAQTest(0, 0, 0), 8, "VXAQTest");
    Expect(pVXASetReset(1, 0, 1), 0, "VXASetReset(1,0,1)");
    Expect(pVXASetReset(0, 5, 2), 0, "VXASetReset(0,5,2)");
    Expect(pVXAFill(text, 0xA5, 0x100, 0x80, 7, 7, 1, 0, 2), 0, "VXAFill");
    Expect(pVXACksum(text, &sum, 0x100, 0x80, 2, 0, 0, 0), 0, "VXACksum");
    Expect((long)sum, 0xA5L * 0x80, "checksum");
    Expect(pVXALoad(text, "missing.hex", 0x10, 0x20, 0x30, 2, 1, 2, 0, 0, 0), 1, "VXALoad of a missing file");
    Expect(pVXAWrite(text, "out.s19", 0x100, 0x10, 2, 3, 1, 16, 0xFF, 1, 0x8000, 1, 0x1234, "HDR", 0, 1, 0, 2), 0,
           "VXAWrite");
    Expect(pVXAViewOpen(text, 0, 0, 0, 0), 0, "VXAViewOpen");
    Expect(pVXAViewFormat(view, 0x100, 2, 2), 0, "VXAViewFormat");
    Expect(strcmp(view, " 000100  A5 A5    \xA5\xA5\r\n"), 0, "view line");
    pVXAViewClose();
    if (pVXAOpen(0, 3) >= 0) Expect(1, 0, "VXAOpen of an absent USB unit");
    Expect(pVXAQTest(0, 0, 0), -1, "VXAQTest after a failed open");
    Expect(pVXAOpen(4, -1), 1024, "VXAOpen(4,-1)");
    Expect(pVXAOpen(4, 11), 1024, "VXAOpen(4,11)");
    Expect(pVXAQTest(1, 0, 2), 1, "VXAQTest after reopen");
    return 0;
}

static int Late(void) {
    BIND(VXAOpen);
    BIND(VXAQTest);
    const char* path = getenv("EMUCORE_LATE_LOG");
    if (path == NULL) return 2;
    unsetenv("emucoredebug");
    Expect(pVXAOpen(4, 0), 1024, "VXAOpen");
    setenv("emucoredebug", path, 1);
    Expect(pVXAQTest(0, 0, 0), 1, "VXAQTest");
    Expect(pVXAOpen(4, 1), 2048, "VXAOpen");
    return 0;
}

static int Retry(const char* dir) {
    BIND(VXAOpen);
    BIND(VXAQTest);
    Expect(pVXAOpen(4, 0), 1024, "VXAOpen while the log cannot be opened");
    if (mkdir(dir, 0700) != 0) return 2;
    Expect(pVXAQTest(0, 0, 0), 1, "VXAQTest once the log can be opened");
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: c_session LIBRARY golden|late|retry [DIR]\n");
        return 2;
    }
    g_lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (g_lib == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    int rc = 2;
    if (strcmp(argv[2], "golden") == 0) rc = Golden();
    else if (strcmp(argv[2], "late") == 0) rc = Late();
    else if (strcmp(argv[2], "retry") == 0 && argc > 3) rc = Retry(argv[3]);
    if (rc != 0) return rc;
    return g_failures ? 1 : 0;
}
