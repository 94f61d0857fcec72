// The selection subsystem: the host's mask sampled at preview resolution into a 1-bit
// bitmap (one bit per preview pixel, leftmost pixel in the top bit, rows of whole words).
#pragma once

#include <windows.h>

#include <cstdint>

// mask_rows_built without a selection: past any preview's height, so no row is left to sample.
constexpr int16_t kNoMaskToBuild = 9999;

// The selection at preview resolution and the marching ants (outline/).
struct SelectionState {
  int16_t mask_row_words;       // 16-bit words per 1-bit mask row
  int16_t mask_row_bytes;       // 2 * mask_row_words
  int32_t mask_size;            // mask_row_bytes * preview_height
  int16_t mask_rows_built;      // preview mask rows sampled; kNoMaskToBuild without a selection
  uint8_t* mask_guard;          // locked mask block: the guard row above mask_bits
  uint8_t* mask_bits;           // 1-bit preview mask, preview_height rows of mask_row_bytes
  uint8_t* outline_bits;        // locked outline block
  uint8_t* mask_saved;          // locked mask_saved block: the mask as sampled
  int16_t ants_drawn;           // 1 while the outline is on screen (painted white once)
  const uint8_t* ants_pattern;  // 8 pattern bytes of the next tick, one per row mod 8
  int16_t ants_phase;           // 0..7: offset into the toggle pattern for the tick after next
};

// Bytes of one 1-bit row of a preview `preview_width` pixels wide: whole 16-bit words.
int16_t mask_row_bytes_for(int16_t preview_width);

// Sizes the 1-bit rows for the preview and starts the sampling: from row 0 when the run has a
// selection, else never (mask_rows_built 9999).
void plan_selection_rows(bool selected);
// Locks the mask, outline and saved-mask blocks for the dialog.
void lock_selection(HGLOBAL mask, HGLOBAL outline, HGLOBAL saved);
// Forgets the locked addresses once their blocks are freed.
void forget_selection();
// The outline is no longer on the screen: the next tick draws it whole.
void restart_ants();

// Whether the image has a selection: the host reported a mask and its preview copy exists.
bool selection_present();

// Samples the mask row the host delivered (maskData) into the next row of mask_bits and
// requests the next one through maskRect, or an empty maskRect after the last.
void sample_mask_row();

// Nonzero when preview pixel (x, y) is selected; coordinates past the preview read its last
// column or row.
uint8_t mask_test(int16_t x, int16_t y);

// --- outline of the selection, on 1-bit rows of mask_row_words 16-bit words ---
// A word read from memory holds pixels 0..7 of its group in bits 7..0 of its low byte and
// pixels 8..15 in bits 7..0 of its high byte.

// out = above AND row AND below, word by word.
void erode_rows(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint8_t* out);
// Each pixel ANDed with its left and right neighbours as they were; the left neighbour of
// column 0 counts as set, the right neighbour of the row's last stored bit as clear.
void erode_row_across(uint8_t* row);
// row = row AND NOT taken.
void subtract_row(uint8_t* row, const uint8_t* taken);
// out = in AND the pattern byte in every byte.
void pattern_row(const uint8_t* in, uint8_t* out, uint8_t pattern);
// Whether outline_bits has a set pixel among columns x0 .. x0 + 31 of rows y0 .. y0 + rows - 1.
bool block_has_ants(int16_t x0, int16_t y0, int16_t rows);
// Keeps the sampled selection in mask_saved and turns mask_bits into its outline: every
// selected pixel with an unselected pixel among its eight neighbours (outside the top, bottom
// and right edges counts as unselected, outside the left edge as selected). Uses outline_bits
// as scratch and clears the guard rows around mask_bits.
void outline_from_mask();

// --- marching ants on the big preview ---
// Makes the outline (outline_from_mask) and starts timer 1 of the dialog at 100 ms.
void build_outline();
// One step of the animation: paints the outline white when it is not on screen, then inverts
// the outline pixels whose stripe changes, blitting only 32 x 32 blocks that hold some.
void ants_tick();
// The horizontal runs of 32-pixel blocks holding pixels of outline_bits in the band of rows
// y0 .. y0 + rows - 1: start columns and widths (clipped to the preview); returns how many.
int16_t ant_runs(int16_t y0, int16_t rows, int16_t* starts, int16_t* widths);
