#pragma once

#include <cmath>

/// Converts twips (1/1440 inch) to device-independent pixels at the given logical DPI:
/// 15 twips a pixel at 96 DPI.
inline int twipsToPixels(int twips, double logicalDpi) {
    return static_cast<int>(std::lround(twips * logicalDpi / 1440.0));
}
