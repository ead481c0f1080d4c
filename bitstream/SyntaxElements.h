#pragma once

// Syntax elements read with the range their standard gives them: a value outside it makes the structure
// damaged, and the read raises Exception naming the element and the range.

#include <cstdint>

class TFastBitstream;

uint8_t ReadFlag(TFastBitstream &reader);
// u(n) with n up to 32.
uint32_t ReadBitsInRange(TFastBitstream &reader, uint8_t count, const char *name, uint32_t min, uint32_t max);
// ue(v) and se(v).
uint32_t ReadUEInRange(TFastBitstream &reader, const char *name, uint32_t min, uint32_t max);
int32_t ReadSEInRange(TFastBitstream &reader, const char *name, int32_t min, int32_t max);
