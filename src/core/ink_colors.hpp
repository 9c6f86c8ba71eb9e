// Ink colours: measuring the luminance range of the red, green and blue inks in the output
// planes, mapping a luminance to one of ten ink levels, and re-colouring every output pixel to
// white, an ink level or one of eleven greys.
#pragma once

namespace vantrel {

// Integer brightness of a pixel: (0.299 R + 0.587 G) + 0.114 B in double precision, in that
// order of additions, truncated.
inline int luminance(int r, int g, int b) { return static_cast<int>((0.299 * r + 0.587 * g) + 0.114 * b); }

// Sets the nine ink-range bytes from the output planes (outWidth x outHeight samples): each
// ink's highest and lowest luminance and their difference modulo 256; Max 0, Min 255 and
// Range 1 for an ink without pixels.
void CalculateColorRange();

// The ink level 10, 20, ..., 100 of a luminance by its position inside the range of the ink
// chosen by channel (0 red, 1 green, 2 blue), from that ink's Min and Range bytes; 0 for any
// other channel.
int StandardizeColors(unsigned char value, int channel);

// Re-colours every output pixel in place from its own samples: background to white, an ink
// pixel to its ink level with the other two channels scaled alike, anything else to a grey.
void SetColors();

} // namespace vantrel
