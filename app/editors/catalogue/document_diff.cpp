#include "app/editors/catalogue/document_diff.h"

#include <array>
#include <cstdio>
#include <map>
#include <memory>

#include "app/editors/catalogue/editor_session.h"
#include "app/editors/framework/editor_fields.h"
#include "app/image/image_map.h"

namespace vm {

namespace {

// The regions the catalogue's editors decode and show.
constexpr std::array kShownRegions = {
    image_map::kBankA,  // bank B has no editor: its bytes are listed as they are
    image_map::kScanEdges,
    image_map::kVfos,
    image_map::kBasicSettings,
    image_map::kAlarm,
    image_map::kTwoToneSystems,
    image_map::kTwoToneContacts,
    image_map::kFiveTone,
    image_map::kFiveToneContacts,
    image_map::kFiveToneFunctions,
    image_map::kDtmf,
    image_map::kDtmfPttIdCodes,
    image_map::kDtmfCodeMemories,
    image_map::kModelInfo,
    image_map::kFrequencyRanges,
};

bool HeaderShown(std::uint32_t offset) {
    return image_map::kFiveToneStandards.Contains(offset);
}

// Field name -> shown text, in the editor's order.
using Shown = std::vector<std::pair<std::string, std::string>>;

// What each record of an editor shows (record 0 for an editor without records).
std::map<int, Shown> ShowEditor(const EditorEntry& entry, const shell::Document& doc) {
    std::map<int, Shown> records;
    DocumentCopy copy(doc);
    EditorSession session(entry, copy.doc);
    auto collect = [&](int record) {
        Shown& shown = records[record];
        for (const EditorField& f : EditorFields(session.view()))
            shown.emplace_back(f.Name(), ShowEditorField(f));
    };
    const RecordRange range = session.Records();
    if (range.empty()) {
        collect(0);
    } else {
        for (int r = range.first; r <= range.last; ++r)
            if (session.GoToRecord(r)) collect(r);
    }
    return records;
}

void CompareShown(const EditorEntry& entry, int record, const Shown& a, const Shown& b,
                  std::vector<FieldChange>& out) {
    std::map<std::string, const std::string*> in_b;
    for (const auto& [name, text] : b) in_b.emplace(name, &text);
    std::map<std::string, bool> in_a;
    for (const auto& [name, text] : a) {
        in_a.emplace(name, true);
        auto it = in_b.find(name);
        if (it == in_b.end())
            out.push_back({std::string(entry.name), record, name, text, {}, false, true});
        else if (*it->second != text)
            out.push_back({std::string(entry.name), record, name, text, *it->second});
    }
    for (const auto& [name, text] : b)
        if (!in_a.count(name))
            out.push_back({std::string(entry.name), record, name, {}, text, true, false});
}

template <typename Bytes, typename Shown>
void CompareBytes(const Bytes& a, const Bytes& b, bool header, Shown shown,
                  std::vector<ByteChange>& out) {
    for (std::uint32_t i = 0; i < a.size();) {
        if (a[i] == b[i] || shown(i)) {
            ++i;
            continue;
        }
        ByteChange change{.header = header, .start = i};
        for (; i < a.size() && a[i] != b[i] && !shown(i); ++i) {
            change.before.push_back(a[i]);
            change.after.push_back(b[i]);
        }
        change.end = i;
        out.push_back(std::move(change));
    }
}

}  // namespace

bool ShownByEditors(std::uint32_t address) {
    for (const ImageRegion& r : kShownRegions)
        if (r.Contains(address)) return true;
    return false;
}

DocumentDiff CompareDocuments(const shell::Document& a, const shell::Document& b) {
    DocumentDiff diff;
    diff.identical = a.Header() == b.Header() && a.Image() == b.Image();
    if (diff.identical) return diff;
    for (const EditorEntry& entry : Editors()) {
        if (!entry.built()) continue;
        const std::map<int, Shown> shown_a = ShowEditor(entry, a);
        const std::map<int, Shown> shown_b = ShowEditor(entry, b);
        static const Shown kNone;
        std::map<int, bool> records;
        for (const auto& [r, s] : shown_a) records[r] = true;
        for (const auto& [r, s] : shown_b) records[r] = true;
        for (const auto& [r, present] : records) {
            auto ia = shown_a.find(r);
            auto ib = shown_b.find(r);
            CompareShown(entry, r, ia == shown_a.end() ? kNone : ia->second,
                         ib == shown_b.end() ? kNone : ib->second, diff.fields);
        }
    }
    CompareBytes(a.Header(), b.Header(), true, HeaderShown, diff.bytes);
    CompareBytes(a.Image(), b.Image(), false, ShownByEditors, diff.bytes);
    // Bytes inside a shown region that no field shows (a record's reserved bytes): when nothing
    // above names a difference, every differing byte is listed, so that two documents that
    // differ are never shown with an empty list.
    if (diff.fields.empty() && diff.bytes.empty()) {
        const auto none = [](std::uint32_t) { return false; };
        CompareBytes(a.Header(), b.Header(), true, none, diff.bytes);
        CompareBytes(a.Image(), b.Image(), false, none, diff.bytes);
    }
    return diff;
}

std::string Hex4(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char byte[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02X", b);
        if (!text.empty()) text += ' ';
        text += byte;
    }
    return text;
}

std::string FieldChangeLine(const FieldChange& c) {
    std::string line = c.editor + ": ";
    if (c.record != 0) line += "record " + std::to_string(c.record) + ": ";
    line += c.field + ": ";
    line += c.absent_before ? std::string("(absent)") : c.before;
    line += " \u2192 ";
    line += c.absent_after ? std::string("(absent)") : c.after;
    return line;
}

std::string ByteChangeLine(const ByteChange& c) {
    std::string line = c.header ? "header " : "image ";
    line += Hex4(c.start);
    if (c.end - c.start > 1) line += "-" + Hex4(c.end - 1);
    return line + ": " + HexBytes(c.before) + " \u2192 " + HexBytes(c.after);
}

std::vector<std::string> DiffLines(const DocumentDiff& diff) {
    std::vector<std::string> lines;
    for (const FieldChange& c : diff.fields) lines.push_back(FieldChangeLine(c));
    for (const ByteChange& c : diff.bytes) lines.push_back(ByteChangeLine(c));
    return lines;
}

}  // namespace vm
