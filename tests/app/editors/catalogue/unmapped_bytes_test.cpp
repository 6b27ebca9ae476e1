// Every editor reads and writes only the regions of the image map: opened over an image, shown
// field by field, committed, closed and normalised, no editor touches a byte outside the map
// (under AddressSanitizer any access to those bytes stops the test), and what the editors show
// and store is the same whatever the unmapped bytes hold.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/editors/catalogue/catalogue.h"
#include "app/editors/catalogue/editor_session.h"
#include "app/editors/channels/channel_memory.h"
#include "app/editors/framework/editor_fields.h"
#include "app/image/band_tables.h"
#include "tests/support/unmapped_bytes.h"
#include "tools/factory/factory_image.h"

namespace vm {
namespace {

using testing::UnmappedRanges;

struct Document {
    std::unique_ptr<RadioImage> image = std::make_unique<RadioImage>();
    FileHeader header{};
    BandTables bands = BandTables::Initial();
    shell::Document doc{*image, header, bands};
    Document() { BuildFactoryImage(header, *image); }
};

// Opens every built editor as its window does, reads every field it shows (a sample of the
// large tables), commits all views as File > Save does, closes them and normalises.
// Returns the texts shown.
std::vector<std::string> OpenShowCommitClose(Document& d) {
    RecomputeBandTables(d.bands, *d.image);
    const testing::UnmappedBytesGuard guard(*d.image);
    std::vector<std::string> shown;
    std::vector<std::unique_ptr<EditorContext>> contexts;
    std::vector<std::unique_ptr<CBaseFormView>> owned;
    std::vector<OpenView> views;
    for (const EditorEntry& e : Editors()) {
        if (!e.built()) continue;
        contexts.push_back(std::make_unique<EditorContext>(EditorContext{.doc = d.doc}));
        owned.push_back(OpenEditorView(e, *contexts.back()));
        views.push_back({&e, owned.back().get()});
        const auto fields = EditorFields(*owned.back());
        const std::size_t stride = fields.size() / 400 + 1;
        for (std::size_t i = 0; i < fields.size(); i += stride)
            shown.push_back(std::string(e.name) + ": " + fields[i].Name() + " = " +
                            ShowEditorField(fields[i]));
    }
    CommitAllViews(*d.image, views);
    for (auto& v : owned) v->Destroy();
    NormalizeImage(*d.image, d.bands);
    return shown;
}

std::vector<std::uint8_t> UnmappedBytes(const RadioImage& image) {
    std::vector<std::uint8_t> bytes;
    for (const auto& [start, end] : UnmappedRanges())
        bytes.insert(bytes.end(), image.begin() + start, image.begin() + end);
    return bytes;
}

TEST(UnmappedBytes, TheMapLeavesGapsBetweenRegions) {
    const auto gaps = UnmappedRanges();
    ASSERT_FALSE(gaps.empty());
    std::uint32_t prev_end = 0;
    for (const auto& [start, end] : gaps) {
        EXPECT_LT(start, end);
        EXPECT_GE(start, prev_end);
        EXPECT_FALSE(testing::IsMapped(start));
        if (start > 0) {
            EXPECT_TRUE(testing::IsMapped(start - 1)) << std::hex << start;
        }
        prev_end = end;
    }
    // The bytes right after bank A's used-channel bit map, the basic settings and the frequency
    // ranges belong to no region.
    for (const ImageRegion& r :
         {image_map::kUsedMapA, image_map::kBasicSettings, image_map::kFrequencyRanges}) {
        EXPECT_FALSE(testing::IsMapped(r.End())) << r.name;
    }
}

TEST(UnmappedBytes, NoEditorWritesOutsideTheMap) {
    Document d;
    std::mt19937 random(6142);
    for (const auto& [start, end] : UnmappedRanges())
        for (std::uint32_t a = start; a < end; ++a)
            (*d.image)[a] = static_cast<std::uint8_t>(random());
    const std::vector<std::uint8_t> before = UnmappedBytes(*d.image);
    OpenShowCommitClose(d);
    EXPECT_EQ(UnmappedBytes(*d.image), before);
}

TEST(UnmappedBytes, WhatEditorsShowAndStoreDoesNotDependOnThem) {
    Document factory, noisy;
    std::mt19937 random(4216);
    for (const auto& [start, end] : UnmappedRanges())
        for (std::uint32_t a = start; a < end; ++a)
            (*noisy.image)[a] = static_cast<std::uint8_t>(random());
    const std::vector<std::string> a = OpenShowCommitClose(factory);
    const std::vector<std::string> b = OpenShowCommitClose(noisy);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]);
    for (std::uint32_t addr = 0; addr < kImageSize; ++addr) {
        if (testing::IsMapped(addr)) {
            ASSERT_EQ((*factory.image)[addr], (*noisy.image)[addr]) << std::hex << addr;
        }
    }
}

}  // namespace
}  // namespace vm
