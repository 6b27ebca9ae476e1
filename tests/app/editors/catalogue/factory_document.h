// A document over the factory image, for the catalogue's tests.
#pragma once

#include "app/image/band_tables.h"
#include "app/shell/data_file.h"
#include "tools/factory/factory_image.h"

namespace vm::testing {

struct FactoryDocument {
    RadioImage image{};
    FileHeader header{};
    BandTables bands = BandTables::Initial();
    shell::Document doc{image, header, bands};
    FactoryDocument() {
        BuildFactoryImage(header, image);
        RecomputeBandTables(bands, image);
    }
};

}  // namespace vm::testing
