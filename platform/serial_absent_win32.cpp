// Serial ports of serial.h on a Windows build without COM-port support compiled in:
// every open fails with the system's "not supported" error, so that the serial kind
// reports the port as not operational.
#include "platform/serial.h"

#include <windows.h>

uint32_t SerialPortOpen(const char*, uint32_t, uint32_t, int* fd, int* errorNumber) {
    *fd = -1;
    *errorNumber = ERROR_NOT_SUPPORTED;
    return SERIAL_PORT_FAILED;
}
void SerialPortClose(int) {}
uint32_t SerialPortBaud(int) { return 0; }
int SerialPortWrite(int, const uint8_t*, uint32_t, uint32_t, int) { return 0; }
bool SerialPortReadSome(int, uint8_t*, uint32_t, uint32_t, int, int32_t* count) {
    *count = 0;
    return false;
}
bool SerialPortPurge(int) { return false; }
bool SerialPortBreak(int, bool) { return false; }
