// LAN payloads written out byte by byte from the layouts of tst/app_lan_msg.h (little-endian),
// never produced by the encoders they check.
#pragma once

#include <array>
#include <cstdint>

// Statistics (59 bytes, 8-bit form, 3 receivers): receiver i holds CRC OK 100+i, CRC KO 200+i,
// RSSI 60+i / 70+i / 80+i (magnitudes) and LOAD 10+i; the zeros after them are never read.
inline constexpr std::array<std::uint8_t, 59> golden_stats59 = {
    0x03, 0x00,                                            // n, not read
    0x64, 0x00, 0x65, 0x00, 0x66, 0x00,                    // CRC OK
    0xC8, 0x00, 0xC9, 0x00, 0xCA, 0x00,                    // CRC KO
    0x3C, 0x46, 0x50, 0x3D, 0x47, 0x51, 0x3E, 0x48, 0x52,  // RSSI triples
    0x0A, 0x0B, 0x0C,                                      // LOAD
};

// Statistics (66 bytes, 16-bit form, 2 receivers): CRC OK 0x0102 / 0x0304, CRC KO 0x0506 /
// 0x0708, LOAD 0x0123 / 0x0456, RSSI 61/71/81 and 62/72/82; the 46 bytes after them (zero) are
// never read.
inline constexpr std::array<std::uint8_t, 66> golden_stats66 = {
    0x02, 0x00,                                      // n, not read
    0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07,  // CRC OK, CRC KO
    0x23, 0x01, 0x56, 0x04,                          // LOAD, 16 bits
    0x3D, 0x47, 0x51, 0x3E, 0x48, 0x52,              // RSSI triples
};

// Modem info (23 bytes): protocol 0x04030201, serial 0x1a2b3c4d, tmsp 0x0a0b0c0d, hardware 2.3,
// software 4.5, type 6, location 7, state 2, wakeup 9, 2 receivers 0x21 and 0x22.
inline constexpr std::array<std::uint8_t, 23> golden_info = {
    0x01, 0x02, 0x03, 0x04, 0x4D, 0x3C, 0x2B, 0x1A,  // protocol, serial
    0x0D, 0x0C, 0x0B, 0x0A, 0x03, 0x02, 0x05, 0x04,  // tmsp, hardware and software versions
    0x06, 0x07, 0x02, 0x09, 0x02, 0x21, 0x22};       // type to wakeup, receiver count, receivers

// Received radio frame (21 bytes): 868,950,000 Hz, RTC 1,600,000,000 s 999 ms, offset -300,
// length 4, RSSI 85 (magnitude), modulation 3, receiver 5, then the frame 0e 44 2d 2c.
inline constexpr std::array<std::uint8_t, 21> golden_rx = {
    0xF0, 0x1F, 0xCB, 0x33, 0x00, 0x10, 0x5E, 0x5F,  // frequency, RTC seconds
    0xE7, 0x03, 0xD4, 0xFE, 0x04, 0x00,              // RTC milliseconds, offset, frame length
    0x55, 0x03, 0x05, 0x0E, 0x44, 0x2D, 0x2C};       // RSSI, modulation, receiver, the frame
