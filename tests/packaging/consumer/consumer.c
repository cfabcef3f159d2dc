/* A program built against an installed libemucore, as a firmware project would
 * build one: the header from the include folder, the library by its link name.
 *
 *   emucore_consumer IMAGE.hex LENGTH
 *
 * opens the virtual unit as a 27256, loads the image with verify and prints the
 * checksum of its first LENGTH (hex) bytes as "checksum XXXXXXXX". */
#include <emucore.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: emucore_consumer IMAGE LENGTH\n");
        return 2;
    }
    char text[VXA_TEXT_SIZE] = "";
    uint32_t sum = 0;
    const int32_t length = (int32_t)strtol(argv[2], NULL, 16);
    VXAInit();
    int32_t r = VXAOpen(VXA_VIRTUAL_UNIT, 5);
    if (r != 32768) {
        printf("VXAOpen of the virtual unit as a 27256 gave %d\n", (int)r);
        return 1;
    }
    if ((r = VXAQTest(0, 0, 0)) <= 0) {
        printf("VXAQTest gave %d\n", (int)r);
        return 1;
    }
    if ((r = VXALoad(text, argv[1], 0, 0, 0, 1, 1, 0, 0, 0, 0)) != 0) {
        printf("VXALoad gave %d: %s\n", (int)r, text);
        return 1;
    }
    if ((r = VXACksum(text, &sum, 0, length, 0, 0, 0, 0)) != 0) {
        printf("VXACksum gave %d: %s\n", (int)r, text);
        return 1;
    }
    printf("checksum %08lX\n", (unsigned long)sum);
    return 0;
}
