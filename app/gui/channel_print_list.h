// The print list of the channel table.
#pragma once

#include "app/gui/printing.h"
#include "app/image/band_tables.h"
#include "app/image/radio_image.h"

namespace vm::gui {

// The print list: the table's heading and every channel in use, as the table shows them.
PrintList ChannelPrintList(const RadioImage& image, const BandTables& bands);

}  // namespace vm::gui
