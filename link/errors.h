#pragma once
#include <cstdint>
#include <string>

// Link error codes: one 32-bit code per link or RAM-access operation, 0 = success.
inline constexpr uint32_t LINK_OK = 0;
inline constexpr uint32_t LINK_INVALID =
    1;  // bad handle, range outside a virtual unit, port missing, COM number out of range
inline constexpr uint32_t LINK_NOT_WORKING = 2;  // port or device present but not operational
inline constexpr uint32_t LINK_NO_RESOURCE = 3;  // no free slot or transport record, no memory for a virtual unit
inline constexpr uint32_t LINK_CANCELLED = 4;    // cancelled by the user (Esc)
inline constexpr uint32_t LINK_NOT_AVAILABLE =
    5;  // operation not for this kind, no such unit, bad ZAMBPS, no compare buffer

// Serial transport.
inline constexpr uint32_t LINK_SER_ATTEMPTS = 7;
inline constexpr uint32_t LINK_SER_SEND_HEADER = 8;
inline constexpr uint32_t LINK_SER_SEND_PAYLOAD = 9;
inline constexpr uint32_t LINK_SER_SEND_CRC = 10;
inline constexpr uint32_t LINK_SER_RECV_HEADER = 11;
inline constexpr uint32_t LINK_SER_BAD_STATUS = 12;
inline constexpr uint32_t LINK_SER_RECV_DATA = 13;
inline constexpr uint32_t LINK_SER_RECV_CRC = 14;
inline constexpr uint32_t LINK_SER_RESYNC = 15;

// USB transport: a stage base plus the transport result r.
inline constexpr uint32_t LINK_USB_SEND_BASE = 15;    // 15 + r
inline constexpr uint32_t LINK_USB_ANSWER_BASE = 25;  // 25 + r
inline constexpr uint32_t LINK_USB_BAD_SEQUENCE = 35;
inline constexpr uint32_t LINK_USB_BAD_STATUS = 45;
inline constexpr uint32_t LINK_USB_READ_FIRST_BASE = 115;
inline constexpr uint32_t LINK_USB_READ_MIDDLE_BASE = 125;
inline constexpr uint32_t LINK_USB_READ_LAST_BASE = 135;
inline constexpr uint32_t LINK_USB_READ_COUNT = 145;
inline constexpr uint32_t LINK_USB_WRITE_FIRST_BASE = 215;
inline constexpr uint32_t LINK_USB_WRITE_MIDDLE_BASE = 225;
inline constexpr uint32_t LINK_USB_WRITE_LAST_BASE = 235;
inline constexpr uint32_t LINK_USB_WRITE_COUNT = 245;

inline constexpr uint32_t LINK_TOO_MANY_REWRITES = 1005;

// USB transport results r that the stage bases above are added to.
inline constexpr uint32_t USB_RESULT_OK = 0;
inline constexpr uint32_t USB_RESULT_TIMEOUT = 1;
inline constexpr uint32_t USB_RESULT_CANCELLED = 2;
inline constexpr uint32_t USB_RESULT_WRONG_COUNT = 3;
inline constexpr uint32_t USB_RESULT_OTHER_COMMAND = 4;
inline constexpr uint32_t USB_RESULT_SYSTEM = 6;

// Caller stage numbers: the first number of a subcode.
inline constexpr unsigned STAGE_GUI = 0;
inline constexpr unsigned STAGE_API = 10;
inline constexpr unsigned STAGE_CONSOLE_OPEN = 100;
inline constexpr unsigned STAGE_CONSOLE_EDIT_FIRST = 300;
inline constexpr unsigned STAGE_RECORD_WRITE = 500;
inline constexpr unsigned STAGE_RECORD_FINISH = 501;
inline constexpr unsigned STAGE_BINARY_WRITE = 502;
inline constexpr unsigned STAGE_BINARY_OUT_READ = 503;
inline constexpr unsigned STAGE_HEX_OUT_READ = 504;
inline constexpr unsigned STAGE_S_OUT_READ = 505;
inline constexpr unsigned STAGE_CHECKSUM_READ = 506;
inline constexpr unsigned STAGE_FILL_WRITE = 507;
inline constexpr unsigned STAGE_BINARY_START = 508;
inline constexpr unsigned STAGE_BINARY_FOLD = 509;
inline constexpr unsigned STAGE_FILL_START = 510;
inline constexpr unsigned STAGE_FILL_FOLD = 511;

// "DEVICE FAILURE (SUBCODE s-k)\a\n", or "[CANCELLED SUBCODE s-k]\n" for code 4.
std::string LinkSubcodeText(unsigned stage, uint32_t code);

// Port families as the console names them in open failures.
enum class PortFamily { Parallel, Serial, Usb };

// The console's lines for a failed unit open: the "CANNOT ACCESS" line, then
// the missing / not operational line (codes 1 and 2) or the stage-100 subcode,
// then `detail`, what the failed open itself found wrong (ZAMInit's `failure`).
std::string LinkOpenFailureText(const char* portName, unsigned unit, PortFamily family, uint32_t code,
                                const std::string& detail = std::string());
