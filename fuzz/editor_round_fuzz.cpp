// Fuzzes every editor over a random image: the image is opened as File > Open leaves it, every
// editor of the catalogue opens on it (LoadFromImage), the frame's commit stores them all
// (StoreToImage, the channel table last), the windows close, and NormalizeImage runs. Doing the
// same again over the result must change nothing: what the editors store is what they load.
// Meanwhile the bytes outside the image map's regions are unaddressable: a read or write past a
// region stops the run.
//
// Input: one byte choosing the image under the patches (the factory image, all 0xFF, all 0x00),
// then patches (fuzz_support.h).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/editors/catalogue/catalogue.h"
#include "app/editors/catalogue/editor_session.h"
#include "app/editors/channels/channel_memory.h"
#include "app/image/band_tables.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/unmapped_bytes.h"

using namespace vm;

namespace {

// One open-commit-close round of every editor, then the normalisation.
void Round(RadioImage& image, FileHeader& header) {
    BandTables bands = BandTables::Initial();
    RecomputeBandTables(bands, image);
    shell::Document doc(image, header, bands);
    // No editor may touch a byte outside the regions of the image map.
    const testing::UnmappedBytesGuard guard(image);
    std::vector<EditorContext> contexts;
    contexts.reserve(Editors().size());
    std::vector<std::unique_ptr<CBaseFormView>> owned;
    std::vector<OpenView> views;
    for (const EditorEntry& entry : Editors()) {
        if (!entry.built()) continue;
        contexts.push_back(
            EditorContext{.doc = doc, .message = [](const std::string&, const std::string&) {}});
        owned.push_back(OpenEditorView(entry, contexts.back()));
        fuzz::Check(owned.back() != nullptr, "a built editor did not open");
        views.push_back({&entry, owned.back().get()});
    }
    CommitAllViews(image, views);
    for (auto& view : owned) view->Destroy();
    NormalizeImage(image, bands);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    auto image = std::make_unique<RadioImage>();
    auto header = std::make_unique<FileHeader>(fuzz::FactoryHeader());
    switch (in.Byte() % 3) {
        case 0:
            *image = fuzz::FactoryImage();
            break;
        case 1:
            image->fill(0xFF);
            break;
        default:
            image->fill(0x00);
            break;
    }
    fuzz::ApplyPatches(in, *image);

    Round(*image, *header);
    const auto once = std::make_unique<RadioImage>(*image);
    const auto header_once = std::make_unique<FileHeader>(*header);
    Round(*image, *header);
    if (*image != *once) {
        for (std::size_t a = 0; a < image->size(); ++a) {
            if ((*image)[a] != (*once)[a]) {
                std::fprintf(stderr,
                             "first difference at 0x%04zX: %02X after one round, %02X after two\n",
                             a, (*once)[a], (*image)[a]);
                break;
            }
        }
        fuzz::Fail("storing what the editors loaded changed the image");
    }
    fuzz::Check(*header == *header_once, "storing what the editors loaded changed the header");
    return 0;
}
