// The factory data file "Default.dat": made from code at build time and placed beside the
// executables. Every editor's block holds values that its editor shows without correcting them,
// so loading the factory image into an editor and storing it back changes no byte.
#pragma once

#include "app/image/radio_image.h"

namespace vm {

// Bands present in the factory image (1..9 numbering); the others have no limits.
inline constexpr int kFactoryBands[] = {1, 2, 4, 5, 8, 9};

// Builds the factory header and image.
void BuildFactoryImage(FileHeader& header, RadioImage& image);

}  // namespace vm
