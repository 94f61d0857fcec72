// The selection subsystem: the host's mask sampled at preview resolution into a 1-bit
// bitmap (one bit per preview pixel, leftmost pixel in the top bit, rows of whole words).
#pragma once

#include <cstdint>

// Samples the mask row the host delivered (maskData) into the next row of mask_bits and
// requests the next one through maskRect, or an empty maskRect after the last.
void sample_mask_row();

// Nonzero when preview pixel (x, y) is selected; coordinates past the preview read its last
// column or row.
uint8_t mask_test(int16_t x, int16_t y);
