// The two-tone and five-tone windows: their tab strips, lists rebuilt while a choice is made,
// the contact grid's shading, and what closing the window stores.
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QTabBar>

#include "app/editors/settings/five_tone_view.h"
#include "app/editors/settings/two_tone_view.h"
#include "app/gui/commands.h"
#include "app/gui/editor_windows.h"
#include "app/gui/grid_widget.h"
#include "app/gui/tabbed_form_window.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"

namespace vm::gui {
namespace {

using testing::Answers;
using testing::FrameUnderTest;

void Save(QWidget* w, const char* name) {
    const QString dir = qEnvironmentVariable("VM_SCREENSHOTS");
    if (!dir.isEmpty()) w->grab().save(dir + "/" + name);
}

class ToneWindowsTest : public QObject {
    Q_OBJECT

private slots:
    void twoToneFormatsAndSystemsInTheWindow() {
        FrameUnderTest t;
        Answers answers;
        t.frame->OpenEditor(ID_EDIT_2TONE);
        CChildFrame* child = t.frame->childFrame(ID_EDIT_2TONE);
        QVERIFY(child);
        auto* w = qobject_cast<TabbedFormWindow*>(child->view());
        QVERIFY(w);
        auto* systems = qobject_cast<QTabBar*>(w->control(0, CT2SystemPage::kIdSystemTab));
        QVERIFY(systems);
        QCOMPARE(systems->count(), 16);
        QCOMPARE(systems->tabText(15), QString("16"));
        QStringList boxes;
        for (auto* box : child->findChildren<QGroupBox*>()) boxes << box->title();
        for (int n = 1; n <= 4; ++n) QVERIFY(boxes.contains(QString("Decode %1").arg(n)));

        // A format picked in Decode 2's box leaves the other boxes' lists at once.
        auto* d1 = qobject_cast<QComboBox*>(w->control(0, CT2SystemPage::kDecodes[0].format));
        auto* d2 = qobject_cast<QComboBox*>(w->control(0, CT2SystemPage::kDecodes[1].format));
        QVERIFY(d1 && d2);
        const QString taken = d1->currentText() == "C-D" ? "B-D" : "C-D";
        const int pick = d2->findText(taken);
        d2->setCurrentIndex(pick);
        emit d2->activated(pick);  // as the user's pick arrives
        QCoreApplication::processEvents();
        QCOMPARE(d2->currentText(), taken);
        QCOMPARE(d1->findText(taken), -1);

        // Choosing system 2 stores system 1.
        systems->setCurrentIndex(1);
        QCoreApplication::processEvents();
        const std::uint8_t code = taken == "C-D" ? 0x34 : 0x24;
        QCOMPARE((*t.image)[0xCF80 + 25], code);
        Save(child, "two_tone_system.png");

        // The contact page: a single-tone contact's Second cell is shaded on screen.
        auto& view = static_cast<CT2View&>(w->view());
        auto& contacts = static_cast<CT2ContactPage&>(view.Page(1));
        view.ChooseTab(1);
        QCoreApplication::processEvents();
        QCOMPARE(w->shownPage(), 1);
        Grid& g = contacts.grid();
        g.ClickCell(2, CT2ContactPage::kColFirst);
        contacts.form().ReplaceText(CT2ContactPage::kIdToneEdit, "1000");
        contacts.form().Focus(CT2ContactPage::kIdGrid);
        g.ClickCell(2, CT2ContactPage::kColFormat);
        contacts.form().Choose(CT2ContactPage::kIdFormatList, 1);
        contacts.form().Focus(CT2ContactPage::kIdGrid);
        QCoreApplication::processEvents();
        auto* grid = child->findChild<GridWidget*>();  // data cells only: row 2 is item row 1
        QVERIFY(grid);
        QCOMPARE(grid->item(1, CT2ContactPage::kColFormat - 1)->text(), QString("Single"));
        // The colour value is red in its low byte.
        const unsigned shade = CT2ContactPage::kSingleShade;
        QCOMPARE(grid->item(1, CT2ContactPage::kColSecond - 1)->background().color(),
                 QColor(shade & 0xFF, (shade >> 8) & 0xFF, (shade >> 16) & 0xFF));
        Save(child, "two_tone_contact.png");
        // Closing the window stores the contacts.
        child->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE((*t.image)[0xD180 + 16 + 12], std::uint8_t{1});
        QCOMPARE(answers.messages.size(), 0);
    }

    void fiveToneWindowStoresWhenClosed() {
        FrameUnderTest t;
        Answers answers;
        t.frame->OpenEditor(ID_EDIT_5TONE);
        CChildFrame* child = t.frame->childFrame(ID_EDIT_5TONE);
        QVERIFY(child);
        QStringList boxes;
        for (auto* box : child->findChildren<QGroupBox*>()) boxes << box->title();
        for (const char* b : {"Infomation", "Function", "PTTID", "Contact", "Standard"})
            QVERIFY(boxes.contains(b));
        auto* w = qobject_cast<FormViewWindow*>(child->view());
        QVERIFY(w);
        // The tone edits open for the user-defined standard only.
        auto* standard = qobject_cast<QComboBox*>(w->control(CT5View::kIdStandard));
        QVERIFY(standard);
        QVERIFY(!w->control(CT5View::ToneEdit(3))->isEnabled());
        const int user = standard->findText("USER DEFINDE");
        standard->setCurrentIndex(user);
        emit standard->activated(user);
        QCoreApplication::processEvents();
        QVERIFY(w->control(CT5View::ToneEdit(3))->isEnabled());
        Save(child, "five_tone.png");
        // Closing the window keeps what was typed (the header entry and the image block).
        auto* width = qobject_cast<QLineEdit*>(w->control(CT5View::kIdWidth));
        QVERIFY(width);
        width->setText("77");
        child->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!t.frame->childFrame(ID_EDIT_5TONE));
        QCOMPARE((*t.image)[0xD280], std::uint8_t{15});
        QCOMPARE((*t.image)[0xD281], std::uint8_t{77});
        QCOMPARE((*t.header)[0x100 + 15 * 40 + 1], std::uint8_t{77});
    }
};

}  // namespace
}  // namespace vm::gui

VM_WINDOW_TEST(vm::gui::ToneWindowsTest);
#include "tone_windows_test.moc"
