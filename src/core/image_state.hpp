// The image state: the module-level variables every operation works on. They exist once per
// process, start at zero when the library is loaded, and are read and written both by the core
// operations and, through the binding's variable link, directly by the calling script.
#pragma once

namespace vantrel {

// Picture sizes and the output index at which the kernels write.
extern int pos;
extern int width;
extern int height;
extern int outWidth;
extern int outHeight;

// The seven picture buffers: the interleaved picture, the input planes (width x height samples)
// and the output planes (outWidth x outHeight samples). A script may replace any of them.
extern unsigned char *data;
extern unsigned char *red;
extern unsigned char *green;
extern unsigned char *blue;
extern unsigned char *outRed;
extern unsigned char *outGreen;
extern unsigned char *outBlue;

// Ink-range bytes: the luminance range of each coloured ink, as last measured or as the
// script set them.
extern unsigned char redInkMax, redInkMin, redInkRange;
extern unsigned char greenInkMax, greenInkMin, greenInkRange;
extern unsigned char blueInkMax, blueInkMin, blueInkRange;

// The nine neighbourhood registers, one RGB triple each (byte 0 red, 1 green, 2 blue).
extern unsigned char leftPixel[3], centerPixel[3], rightPixel[3];
extern unsigned char topPixel[3], bottomPixel[3];
extern unsigned char topLeftPixel[3], topRightPixel[3];
extern unsigned char bottomLeftPixel[3], bottomRightPixel[3];

} // namespace vantrel
