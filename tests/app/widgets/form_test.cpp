#include "app/widgets/form.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/text/text_format.h"

namespace vm {
namespace {

TEST(Form, TypingHonoursFilterUpperCaseLimitAndSelection) {
    Form f;
    f.AddEdit(1, 6, IsNameChar, true);
    std::vector<std::pair<char, bool>> typed;
    f.On(EventType::CharTyped, 1, [&](const Event& e) {
        typed.emplace_back(e.ch, e.accepted);
        return false;
    });
    f.TypeText(1, "ab_c-1?xyz");
    EXPECT_EQ(f.Text(1), "ABC-1X");  // '_' and '?' swallowed, then the limit of 6
    ASSERT_EQ(typed.size(), 10u);
    EXPECT_FALSE(typed[2].second);  // '_'
    EXPECT_FALSE(typed[9].second);  // 'z' beyond the limit
    f.Type(1, '\b');
    EXPECT_EQ(f.Text(1), "ABC-1");
    f.SelectAll(1);
    f.Type(1, 'q');
    EXPECT_EQ(f.Text(1), "Q");  // typing replaces a selected text
}

TEST(Form, ADecimalNumberTakesOnePointBesideTheTextThatStays) {
    Form f;
    f.AddEdit(1, 9, CharsFilter(g_FreqInputFilter)).one_point = true;
    f.AddEdit(2, 9, CharsFilter(g_FreqInputFilter));  // no such rule: points are characters
    f.TypeText(1, "26.145.5");
    EXPECT_EQ(f.Text(1), "26.1455");
    f.TypeText(2, "1.2.3");
    EXPECT_EQ(f.Text(2), "1.2.3");
    // A point replacing a selection that holds the only point is taken; one beside a kept
    // point is not, whatever part of the text is selected.
    EXPECT_EQ(f.FilterChar(1, '.', "14550000"), '.');
    EXPECT_EQ(f.FilterChar(1, '.', "145."), '\0');
    EXPECT_EQ(f.FilterChar(1, '5', "145."), '5');
    f.SelectAll(1);
    f.TypeText(1, "145.5");
    EXPECT_EQ(f.Text(1), "145.5");
}

// A paste is held to what typing the same characters at the same place would leave: the
// filter, upper case, one decimal point beside the text that stays, and the length limit.
TEST(Form, APastedTextKeepsWhatTypingItWouldHaveKept) {
    Form f;
    f.AddEdit(1, 9, CharsFilter(g_FreqInputFilter)).one_point = true;
    f.AddEdit(2, 6, IsNameChar, true);
    f.AddEdit(3, 0);
    f.AddEdit(4, 9, CharsFilter(g_FreqInputFilter)).read_only = true;
    struct Case {
        int id;
        const char* head;
        const char* inserted;
        const char* tail;
        const char* kept;
    };
    const Case cases[] = {
        {1, "", "145.5.25", "", "145.525"},        // a second point is left out
        {1, "26.", "145.5", "", "26.1455"},        // a point beside the kept one too
        {1, "14", "6.5", ".5", "1465.5"},          // ... and before it
        {1, "", " 146.52 MHz\n", "", "146.52"},    // what the filter refuses
        {1, "", "1234567890.5", "", "123456789"},  // nine characters at most
        {1, "1234", "56789012", "", "123456789"},
        {1, "14", "5", "", "145"},
        {2, "",
         "ab!c d\xC3\xA9"
         "f",
         "", "ABC DF"},  // upper case; no byte of a non-ASCII one
        {2, "ABCDE", "XYZ", "", "ABCDEX"},
        {3, "", "tab\there\x7F", "", "tabhere"},  // no filter: printable characters only
        {4, "1", "2", "3", "13"},                 // a read-only edit takes nothing
    };
    for (const Case& c : cases) {
        EXPECT_EQ(f.FilterInsertion(c.id, c.head, c.inserted, c.tail), c.kept)
            << c.id << " '" << c.inserted << "'";
        // Typing the kept characters into the empty control gives the same text.
        if (c.id != 4 && std::string_view(c.head).empty() && std::string_view(c.tail).empty()) {
            f.SetText(c.id, "");
            f.TypeText(c.id, c.kept);
            EXPECT_EQ(f.Text(c.id), c.kept);
        }
    }
}

TEST(Form, ADoubleClickSelectsTheWholeTextOfAnInPlaceEditorOnly) {
    Form f;
    f.AddGrid(9);
    f.AddEdit(1);
    f.AddEdit(2);
    f.AddList(3, {"a", "b"});
    f.Move(1, {1, 1, 50, 20}, 9);  // over the grid
    f.Move(3, {1, 1, 50, 20}, 9);
    f.SetText(1, "126.14500");
    f.SetText(2, "plain");
    EXPECT_TRUE(f.DoubleClick(1));
    EXPECT_TRUE(f.At(1).all_selected);
    f.TypeText(1, "145.5");
    EXPECT_EQ(f.Text(1), "145.5");
    EXPECT_FALSE(f.DoubleClick(2));  // an ordinary edit keeps the toolkit's word selection
    EXPECT_FALSE(f.At(2).all_selected);
    EXPECT_FALSE(f.DoubleClick(3));  // a list has no text to select
}

TEST(Form, SelectByTextTakesFirstPrefixIgnoringCaseAndKeepsSelectionOtherwise) {
    Form f;
    f.AddList(2, {"Off", "0.5", "1.0", "1.5"});
    EXPECT_TRUE(f.SelectByText(2, "1"));
    EXPECT_EQ(f.SelectedText(2), "1.0");
    EXPECT_TRUE(f.SelectByText(2, "oF"));
    EXPECT_EQ(f.Selection(2), 0);
    EXPECT_FALSE(f.SelectByText(2, "7"));
    EXPECT_EQ(f.Selection(2), 0);
    // Typing into a drop-down list searches it and reports the change.
    int changes = 0;
    f.On(EventType::SelectionChanged, 2, [&](const Event& e) {
        changes += e.index == 3;
        return false;
    });
    f.TypeText(2, "1.5");
    EXPECT_EQ(changes, 1);
}

TEST(Form, FocusRaisesLostBeforeGainedAndPostedWorkRunsAfterTheAction) {
    Form f;
    f.AddEdit(1);
    f.AddEdit(2);
    std::vector<std::string> log;
    f.On(EventType::FocusLost, 0, [&](const Event& e) {
        log.push_back("lost " + std::to_string(e.id));
        return false;
    });
    f.On(EventType::FocusGained, 0, [&](const Event& e) {
        log.push_back("gained " + std::to_string(e.id));
        return false;
    });
    f.On(EventType::KeyPressed, 1, [&](const Event&) {
        f.Post([&] { log.push_back("posted"); });
        f.Focus(2);
        log.push_back("handler done");
        return true;
    });
    f.Focus(1);
    EXPECT_TRUE(f.Press(1, Key::Enter));
    EXPECT_EQ(log, (std::vector<std::string>{"gained 1", "lost 1", "gained 2", "handler done",
                                             "posted"}));
}

TEST(Form, SpinThatSetsItsEditWrapsAndTabChangeCanBeRefused) {
    Form f;
    f.AddEdit(1064, 3).text = "15";
    f.AddSpin(1065, {.min = 1, .max = 15, .wrap = true, .buddy = 1064, .sets_buddy = true});
    f.Spin(1065, 1);
    EXPECT_EQ(f.Text(1064), "1");
    f.Spin(1065, -1);
    EXPECT_EQ(f.Text(1064), "15");

    Control& tab = f.Add(1301, ControlKind::Tab);
    tab.entries = {"Option", "TOT", "Key"};
    tab.selection = 0;
    bool refuse = true;
    std::vector<int> changed;
    f.On(EventType::TabChanging, 1301, [&](const Event&) { return refuse; });
    f.On(EventType::TabChanged, 1301, [&](const Event& e) {
        changed.push_back(e.index);
        return false;
    });
    f.ChooseTab(1301, 2);
    EXPECT_EQ(f.Selection(1301), 0);
    refuse = false;
    f.ChooseTab(1301, 2);
    EXPECT_EQ(f.Selection(1301), 2);
    EXPECT_EQ(changed, std::vector<int>{2});
}

TEST(Form, ListenersSeeStateChangesAndDisabledControlsTakeNothing) {
    Form f;
    f.AddEdit(1);
    f.Add(2, ControlKind::Check);
    std::vector<ChangeKind> seen;
    f.Listen([&](const Change& c) { seen.push_back(c.kind); });
    f.SetText(1, "x");
    f.SetText(1, "x");  // no change, no notification
    f.Click(2);
    EXPECT_TRUE(f.Checked(2));
    f.SetEnabled(1, false);
    EXPECT_FALSE(f.Type(1, 'y'));
    EXPECT_EQ(f.Text(1), "x");
    EXPECT_EQ(seen,
              (std::vector<ChangeKind>{ChangeKind::Text, ChangeKind::Check, ChangeKind::State}));
}

}  // namespace
}  // namespace vm

namespace vm {
namespace {

TEST(Form, TextSelectionEmptyMatchesNothingAndNumbersMatchWholeTexts) {
    Form f;
    f.AddList(1, {"Off", "1", "10", "2"});
    struct Case {
        bool exact;
        std::string_view text;
        bool matched;
        int selection;  // after, starting from entry 3
    };
    for (const Case& c :
         {Case{false, "", false, 3}, Case{true, "", false, 3}, Case{false, "1", true, 1},
          Case{true, "10", true, 2}, Case{true, "1", true, 1}, Case{true, "OFF", true, 0},
          Case{true, "3", false, 3}, Case{true, "1.", false, 3}}) {
        f.Select(1, 3);
        EXPECT_EQ(c.exact ? f.SelectExactText(1, c.text) : f.SelectByText(1, c.text), c.matched)
            << c.text;
        EXPECT_EQ(f.Selection(1), c.selection) << c.text;
    }
}

TEST(Form, CommitFocusRunsTheFocusLossRuleAndGivesTheFocusBack) {
    Form f;
    f.AddEdit(1, 4);
    f.AddEdit(2, 4);
    std::vector<std::string> events;
    for (int id : {1, 2}) {
        f.On(EventType::FocusLost, id, [&events, &f, id](const Event&) {
            events.push_back("lost " + std::to_string(id));
            if (id == 2) f.SetVisible(2, false);  // a cell editor closes when left
            return false;
        });
        f.On(EventType::FocusGained, id, [&events, id](const Event&) {
            events.push_back("gained " + std::to_string(id));
            return false;
        });
    }
    f.CommitFocus();  // nothing focused: nothing happens
    EXPECT_TRUE(events.empty());
    f.Focus(1);
    f.ReplaceText(1, "12");
    f.CommitFocus();
    EXPECT_EQ(events, (std::vector<std::string>{"gained 1", "lost 1", "gained 1"}));
    EXPECT_EQ(f.Focused(), 1);
    events.clear();
    f.Focus(2);
    f.CommitFocus();
    EXPECT_EQ(events, (std::vector<std::string>{"lost 1", "gained 2", "lost 2"}));
    EXPECT_EQ(f.Focused(), 0);  // closed: it does not get the focus back
    f.ReplaceText(1, "");
    EXPECT_EQ(f.Text(1), "");
}

}  // namespace
}  // namespace vm
