// The modified state and the field-level comparison of two documents, driven through the
// editors as a user drives them.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/editors/catalogue/document_diff.h"
#include "app/editors/catalogue/modified_state.h"
#include "app/editors/framework/editor_fields.h"
#include "tests/app/editors/catalogue/factory_document.h"

namespace vm {
namespace {

using testing::FactoryDocument;

void Set(EditorSession& session, const std::string& name, const std::string& value) {
    const auto field = FindEditorField(session.view(), name);
    ASSERT_TRUE(field) << name;
    ASSERT_EQ(SetEditorField(session.view(), *field, value), std::nullopt) << name;
}

TEST(ModifiedState, AnEditStillInTheViewCountsAndAskingChangesNoByte) {
    auto d = std::make_unique<FactoryDocument>();
    // Bits a commit clears are set in what was opened: committing alone is no edit.
    d->image[0xCC25] |= 0x03;
    EditorSession session(*FindEditor("Basic setting"), d->doc);
    ModifiedState state;
    state.MarkUnmodified(d->doc, session.Views());
    EXPECT_EQ(d->image[0xCC25] & 0x03, 0x03) << "marking changed the document";
    EXPECT_FALSE(state.IsModified(d->doc, session.Views()));

    const RadioImage before_edit = d->image;
    Set(session, "Option/Volume", "12");  // left, but not stored: only the view holds it
    EXPECT_EQ(d->image, before_edit);
    EXPECT_FALSE(state.StoredBytesDiffer(d->doc));  // the cheap look sees only stored bytes
    EXPECT_TRUE(state.IsModified(d->doc, session.Views()));
    EXPECT_EQ(d->image, before_edit) << "asking changed the document";
    session.Commit();
    EXPECT_TRUE(state.StoredBytesDiffer(d->doc));

    // Back to what it was: nothing to save.
    Set(session, "Option/Volume", "8");
    EXPECT_FALSE(state.IsModified(d->doc, session.Views()));
    session.Commit();
    EXPECT_FALSE(state.StoredBytesDiffer(d->doc));
}

TEST(ModifiedState, ChannelTableEditsAndHeaderBytesCount) {
    auto d = std::make_unique<FactoryDocument>();
    EditorSession session(*FindEditor("Channel setting"), d->doc);
    ModifiedState state;
    state.MarkUnmodified(d->doc, session.Views());
    EXPECT_FALSE(state.IsModified(d->doc, session.Views()));
    Set(session, "2/Rx Freq", "145.6");
    EXPECT_TRUE(state.IsModified(d->doc, session.Views()));
    session.Commit();
    state.MarkUnmodified(d->doc, session.Views());  // as after Save
    EXPECT_FALSE(state.IsModified(d->doc, session.Views()));
    d->header[0x20] ^= 0xFF;
    EXPECT_TRUE(state.IsModified(d->doc, session.Views()));
}

TEST(ModifiedState, TitleAndQuestion) {
    auto d = std::make_unique<FactoryDocument>();
    EXPECT_EQ(ModifiedTitle("VM6142", true), "*VM6142");
    EXPECT_EQ(ModifiedTitle("VM6142", false), "VM6142");
    EXPECT_EQ(SaveChangesQuestion(d->doc, "VM6142.dat"), "Save changes to VM6142.dat?");
}

// ---------------------------------------------------------------------------------------------

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(DocumentDiff, EqualDocumentsHaveNoDifference) {
    auto a = std::make_unique<FactoryDocument>();
    auto b = std::make_unique<FactoryDocument>();
    const DocumentDiff diff = CompareDocuments(a->doc, b->doc);
    EXPECT_TRUE(diff.Equal());
    EXPECT_TRUE(DiffLines(diff).empty());
}

TEST(DocumentDiff, DocumentsThatDifferNeverGiveAnEmptyList) {
    // A reserved byte of a channel record (shown by no field) and a bank B channel (shown by
    // no editor): each alone makes the documents differ, and the list says where.
    struct Case {
        const char* name;
        std::uint32_t address;
        const char* line;
    } const cases[] = {
        {"reserved byte of channel 1", 0x0116, "image 0x0116: "},
        {"bank B channel 1", 0x6500, "image 0x6500: "},
    };
    for (const Case& c : cases) {
        auto a = std::make_unique<FactoryDocument>();
        auto b = std::make_unique<FactoryDocument>();
        b->image[c.address] = static_cast<std::uint8_t>(a->image[c.address] ^ 0x5A);
        const DocumentDiff diff = CompareDocuments(a->doc, b->doc);
        EXPECT_FALSE(diff.Equal()) << c.name;
        const auto lines = DiffLines(diff);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.rfind(c.line, 0) == 0; }))
            << c.name << ": " << lines.size() << " lines";
    }
}

TEST(DocumentDiff, FieldsByEditorThenUnshownBytes) {
    auto a = std::make_unique<FactoryDocument>();
    auto b = std::make_unique<FactoryDocument>();
    {
        EditorSession session(*FindEditor("Basic setting"), b->doc);
        Set(session, "Option/Volume", "12");
        ASSERT_EQ(session.Close(), std::nullopt);
        session.Commit();
    }
    {
        EditorSession session(*FindEditor("Channel setting"), b->doc);
        Set(session, "3/Rx Freq", "146.52");
        session.Commit();
    }
    b->image[0xF000] = 0x12;  // read from the radio, shown by no editor
    b->image[0xF001] = 0x34;
    b->header[0x10] = 0x77;  // a header byte no editor shows
    const RadioImage a_before = a->image;
    const RadioImage b_before = b->image;
    const DocumentDiff diff = CompareDocuments(a->doc, b->doc);
    EXPECT_EQ(a->image, a_before);
    EXPECT_EQ(b->image, b_before);
    EXPECT_FALSE(diff.Equal());
    const auto lines = DiffLines(diff);
    EXPECT_TRUE(HasLine(lines, "Basic setting: Option/Volume: 8 \u2192 12")) << lines.size();
    EXPECT_TRUE(HasLine(lines, "Channel setting: 3/Rx Freq:  \u2192 146.52000"));
    EXPECT_TRUE(HasLine(lines, "image 0xF000-0xF001: FF FF \u2192 12 34"));
    EXPECT_TRUE(HasLine(lines, "header 0x0010: FF \u2192 77") ||
                HasLine(lines, "header 0x0010: 00 \u2192 77"));
    // The channel's bitmap bit is no editor's field: it is listed as bytes, the channel
    // record itself is not (the table shows it).
    for (const ByteChange& c : diff.bytes) {
        if (c.header) continue;
        for (std::uint32_t at = c.start; at < c.end; ++at) EXPECT_FALSE(ShownByEditors(at)) << at;
    }
    // A record-stepping dialog compares record by record.
    EXPECT_TRUE(std::any_of(diff.fields.begin(), diff.fields.end(), [](const FieldChange& c) {
        return c.editor == "Channel edit" && c.record == 3;
    }));
}

}  // namespace
}  // namespace vm
