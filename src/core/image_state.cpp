// Storage for the image state. Every variable is zero-initialised at load, as the script
// expects before it sets anything.
#include "image_state.hpp"

namespace vantrel {

int pos = 0;
int width = 0;
int height = 0;
int outWidth = 0;
int outHeight = 0;

unsigned char *data = nullptr;
unsigned char *red = nullptr;
unsigned char *green = nullptr;
unsigned char *blue = nullptr;
unsigned char *outRed = nullptr;
unsigned char *outGreen = nullptr;
unsigned char *outBlue = nullptr;

unsigned char redInkMax = 0, redInkMin = 0, redInkRange = 0;
unsigned char greenInkMax = 0, greenInkMin = 0, greenInkRange = 0;
unsigned char blueInkMax = 0, blueInkMin = 0, blueInkRange = 0;

unsigned char leftPixel[3] = {}, centerPixel[3] = {}, rightPixel[3] = {};
unsigned char topPixel[3] = {}, bottomPixel[3] = {};
unsigned char topLeftPixel[3] = {}, topRightPixel[3] = {};
unsigned char bottomLeftPixel[3] = {}, bottomRightPixel[3] = {};

} // namespace vantrel
