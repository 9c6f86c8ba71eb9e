// The neighbourhood registers' setters, the three kernels that turn the registers into one
// output pixel at pos, and Calculate: background whitening of the input planes followed by the
// half-resolution B-spline downsampling into the output planes.
#pragma once

namespace vantrel {

// Each stores red, green and blue as bytes 0, 1 and 2 of its register; nothing else changes.
void SetLeftPixel(unsigned char r, unsigned char g, unsigned char b);
void SetCenterPixel(unsigned char r, unsigned char g, unsigned char b);
void SetRightPixel(unsigned char r, unsigned char g, unsigned char b);
void SetTopPixel(unsigned char r, unsigned char g, unsigned char b);
void SetBottomPixel(unsigned char r, unsigned char g, unsigned char b);
void SetTopLeftPixel(unsigned char r, unsigned char g, unsigned char b);
void SetTopRightPixel(unsigned char r, unsigned char g, unsigned char b);
void SetBottomLeftPixel(unsigned char r, unsigned char g, unsigned char b);
void SetBottomRightPixel(unsigned char r, unsigned char g, unsigned char b);

// Each writes the output pixel at pos (which the caller guarantees lies in the output planes)
// from the registers: centerPixel alone, the mean of all nine, or their 1-2-1 weighted mean.
// Neither pos nor any register changes.
void CenterFilter();
void AverageFilter();
void BSplineFilter();

// Whitens every light pixel of the input planes, then writes the B-spline result of the 3x3
// neighbourhood of every input pixel at an odd row and odd column off the border into the
// output planes, at column j + row i x outWidth for the centre (2i + 1, 2j + 1). Afterwards pos
// is (rows written) x outWidth and the registers hold the last neighbourhood. The caller
// guarantees the input planes hold width x height samples and the written block fits the
// output planes.
void Calculate();

} // namespace vantrel
