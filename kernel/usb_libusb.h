#pragma once
// libusb backend pieces that can be checked without hardware.
#include <cstdint>

#include "kernel/host.h"

struct libusb_interface_descriptor;
struct libusb_config_descriptor;

// The endpoint addresses of the interface in descriptor order (answer in, command out,
// bulk in, bulk out for a unit); returns how many (at most max).
int LibusbPipeMap(const libusb_interface_descriptor* interface, uint8_t* endpoints, int max);
// The first alternate setting of interface 0, or null.
const libusb_interface_descriptor* LibusbUnitInterface(const libusb_config_descriptor* config);
