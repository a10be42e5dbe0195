/* gwapi.cpp - the gateway API client library. */
#include "gwapi/gwapi.h"

uint16_t swapint16(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }

uint32_t swapint32(uint32_t value) { return __builtin_bswap32(value); }
