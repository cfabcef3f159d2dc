/* A stand-in for libemucore.so that exports only the first two functions the
 * program calls, for the test of a function the library does not have. */
#include <stdint.h>
#include <stdio.h>

__attribute__((visibility("default"))) int32_t VXAInit(void) {
    printf("partial: VXAInit\n");
    fflush(stdout);
    return 0;
}

__attribute__((visibility("default"))) int32_t VXAFind(void) {
    printf("partial: VXAFind\n");
    fflush(stdout);
    return 4;
}
