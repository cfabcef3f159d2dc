/* emucore: one emulator unit behind twelve C exports.
 *
 * Every argument and result is a 32-bit integer or a single-byte string.
 * The text buffers passed to the operations are caller-owned and must hold
 * VXA_TEXT_SIZE characters; the library never writes more than that,
 * the closing NUL included. The output of VXAViewFormat takes
 * 14 + 4 * per_line characters per line plus one NUL.
 *
 * The library keeps one current unit per process and is not thread-safe:
 * calls must not overlap. */
#ifndef EMUCORE_EMUCORE_H
#define EMUCORE_EMUCORE_H

#include <stdint.h>

#if defined(_WIN32)
#define VXA_CALL __stdcall
#define VXA_API
#else
#define VXA_CALL
#define VXA_API __attribute__((visibility("default")))
#endif

#define VXA_TEXT_SIZE 1000
#define VXA_VIRTUAL_UNIT 4

#ifdef __cplusplus
extern "C" {
#endif

/* Session. */
VXA_API int32_t VXA_CALL VXAInit(void);
VXA_API int32_t VXA_CALL VXAFind(void);
VXA_API int32_t VXA_CALL VXAOpen(int32_t unit, int32_t type);
VXA_API int32_t VXA_CALL VXASetReset(int32_t first, int32_t ms, int32_t second);
VXA_API int32_t VXA_CALL VXAQTest(int32_t resetFlag, int32_t before, int32_t after);

/* Image operations: 0 success, 1 failure (text in buffer), -1 no unit open or not sized. */
VXA_API int32_t VXA_CALL VXALoad(char* text, const char* fileName, int32_t start, int32_t target, int32_t length,
                                 int32_t width, int32_t verify, int32_t fold, int32_t resetFlag, int32_t before,
                                 int32_t after);
VXA_API int32_t VXA_CALL VXAFill(char* text, int32_t value, int32_t start, int32_t length, int32_t verify, int32_t fold,
                                 int32_t resetFlag, int32_t before, int32_t after);
VXA_API int32_t VXA_CALL VXAWrite(char* text, const char* fileName, int32_t start, int32_t length, int32_t mode,
                                  int32_t format, int32_t eofOption, int32_t recLen, int32_t fillValue,
                                  int32_t targetOption, int32_t target, int32_t entryOption, int32_t entryAddr,
                                  const char* signon, int32_t fold, int32_t resetFlag, int32_t before, int32_t after);
VXA_API int32_t VXA_CALL VXACksum(char* text, uint32_t* sum, int32_t start, int32_t length, int32_t fold,
                                  int32_t resetFlag, int32_t before, int32_t after);

/* View snapshot. */
VXA_API int32_t VXA_CALL VXAViewOpen(char* text, int32_t fold, int32_t resetFlag, int32_t before, int32_t after);
VXA_API int32_t VXA_CALL VXAViewFormat(char* out, int32_t first, int32_t count, int32_t perLine);
VXA_API int32_t VXA_CALL VXAViewClose(void);

/* Pointer types for callers that bind the library at run time by name. */
typedef int32_t(VXA_CALL* VXAInit_fn)(void);
typedef int32_t(VXA_CALL* VXAFind_fn)(void);
typedef int32_t(VXA_CALL* VXAOpen_fn)(int32_t, int32_t);
typedef int32_t(VXA_CALL* VXASetReset_fn)(int32_t, int32_t, int32_t);
typedef int32_t(VXA_CALL* VXAQTest_fn)(int32_t, int32_t, int32_t);
typedef int32_t(VXA_CALL* VXALoad_fn)(char*, const char*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                      int32_t, int32_t);
typedef int32_t(VXA_CALL* VXAFill_fn)(char*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t);
typedef int32_t(VXA_CALL* VXAWrite_fn)(char*, const char*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                       int32_t, int32_t, int32_t, int32_t, int32_t, const char*, int32_t, int32_t,
                                       int32_t, int32_t);
typedef int32_t(VXA_CALL* VXACksum_fn)(char*, uint32_t*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t);
typedef int32_t(VXA_CALL* VXAViewOpen_fn)(char*, int32_t, int32_t, int32_t, int32_t);
typedef int32_t(VXA_CALL* VXAViewFormat_fn)(char*, int32_t, int32_t, int32_t);
typedef int32_t(VXA_CALL* VXAViewClose_fn)(void);

#ifdef __cplusplus
}
#endif

#endif /* EMUCORE_EMUCORE_H */
