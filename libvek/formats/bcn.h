// Block-compressed texture formats: each call decodes one 4 x 4 block into 16 BGRA pixels, in rows
// of four, top row first.
#pragma once

#include <cstdint>

namespace vek::bcn {

void decodeBc1(const uint8_t* block, uint8_t* bgra, bool punchThrough);
void decodeBc2(const uint8_t* block, uint8_t* bgra);
void decodeBc3(const uint8_t* block, uint8_t* bgra);
// One channel: grey for BC4, red and green (blue 0) for BC5. Signed blocks run -127 to 127.
void decodeBc4(const uint8_t* block, uint8_t* bgra, bool isSigned);
void decodeBc5(const uint8_t* block, uint8_t* bgra, bool isSigned);
// HDR: half-float colours clamped to 0..1, then to 8 bits.
void decodeBc6h(const uint8_t* block, uint8_t* bgra, bool isSigned);
void decodeBc7(const uint8_t* block, uint8_t* bgra);

// Half-float bits to an 8-bit channel: clamped to 0..1, scaled to 255 and truncated.
uint8_t halfToByte(uint16_t half);

} // namespace vek::bcn
