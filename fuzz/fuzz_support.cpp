#include "fuzz/fuzz_support.h"

#include "app/editors/channels/channel_memory.h"
#include "tools/factory/factory_image.h"

namespace vm::fuzz {
namespace {

struct Factory {
    FileHeader header{};
    RadioImage image{};
    Factory() { BuildFactoryImage(header, image); }
};
const Factory& TheFactory() {
    static const Factory factory;
    return factory;
}

}  // namespace

const RadioImage& FactoryImage() {
    return TheFactory().image;
}
const FileHeader& FactoryHeader() {
    return TheFactory().header;
}

BandTables ChannelTableBands(const RadioImage& image) {
    BandTables bands = BandTables::Initial();
    RecomputeBandTables(bands, image);
    RecomputeBandEnabledFromImage(bands, image);
    return bands;
}

}  // namespace vm::fuzz
