// Two in-place passes over the output planes: Flatten re-tones each pixel from its own samples,
// RemoveNoise erases isolated specks on every seventh row.
#pragma once

namespace vantrel {

// Every dark pixel (green below the cut together with red or blue) becomes black; every pale
// pixel (green a light sample, and red a light sample or red dark and blue a light sample) is
// darkened by 30 in each channel, floored at 0. Visits outWidth x outHeight samples.
void Flatten();

// On rows 0, 7, 14, ... turns a pixel white when its 7-row by 5-column window holds at most
// limit dark pixels, counted on the planes as they stand, so an erasure earlier in the row
// counts no more for the pixels after it.
void RemoveNoise(int limit);

} // namespace vantrel
