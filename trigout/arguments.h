// Conversion of the call's numbers (already read as doubles) into the pulse's fields.
// Every number is truncated toward zero; port and value keep their low 16 and 8 bits.
#ifndef TRIGOUT_ARGUMENTS_H
#define TRIGOUT_ARGUMENTS_H

#include <cstdint>

namespace trig {

// Low 16 bits of the truncated number (888.9 -> 888, -1 -> 65535); false for NaN or infinity.
bool toPort(double x, uint16_t* port);
// Low 8 bits of the truncated number (256 -> 0, 3.7 -> 3); false for NaN or infinity.
bool toByte(double x, uint8_t* value);

enum class MillisecondsStatus { ok, notFinite, negative, tooLarge };
// A wait in milliseconds: the truncated number, 0 to 2147483647.
MillisecondsStatus toMilliseconds(double x, int32_t* ms);

}  // namespace trig

#endif
