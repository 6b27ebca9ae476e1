// Every window and dialog on a small screen: the build runs this test on 1366x768 and 800x600
// screens at 100 % and 150 % scaling (the offscreen platform's screen from a configuration
// file, QT_SCALE_FACTOR). Each window lies on the screen, and every control it shows lies
// inside the window, or inside a scroll area that scrolls as far as it.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabBar>
#include <QTextEdit>
#include <QToolBar>
#include <QWindow>

#include "app/editors/catalogue/catalogue.h"
#include "app/gui/about_box.h"
#include "app/gui/channel_table_actions.h"
#include "app/gui/child_frame.h"
#include "app/gui/commands.h"
#include "app/gui/custom_data_dlg.h"
#include "app/gui/editor_windows.h"
#include "app/gui/password_dlg.h"
#include "app/gui/transfer_dlg.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"

namespace vm::gui {
namespace {

using testing::Answers;
using testing::FrameUnderTest;
using testing::WhenModal;

QString Describe(const QRect& r) {
    return QString("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

QString NameOf(const QWidget* w) {
    QString name = w->metaObject()->className();
    if (!w->objectName().isEmpty()) name += " \"" + w->objectName() + "\"";
    if (auto* label = qobject_cast<const QLabel*>(w)) name += " '" + label->text().left(30) + "'";
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) name += " '" + b->text() + "'";
    return name;
}

// The controls a user reads or works: the parts inside a composite control (a list's edit, a
// spin box's arrows, a tool bar's buttons, an item view's editors) are that control's own.
bool IsControl(const QWidget* w) {
    for (const QWidget* p = w->parentWidget(); p; p = p->parentWidget())
        if (qobject_cast<const QComboBox*>(p) || qobject_cast<const QAbstractSpinBox*>(p) ||
            qobject_cast<const QTabBar*>(p) || qobject_cast<const QToolBar*>(p) ||
            qobject_cast<const QMenuBar*>(p) || qobject_cast<const QAbstractItemView*>(p) ||
            qobject_cast<const QTextEdit*>(p) || qobject_cast<const QPlainTextEdit*>(p))
            return false;
    if (auto* label = qobject_cast<const QLabel*>(w)) return !label->text().isEmpty();
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLineEdit*>(w) ||
           qobject_cast<const QComboBox*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
           qobject_cast<const QAbstractItemView*>(w) || qobject_cast<const QTabBar*>(w) ||
           qobject_cast<const QGroupBox*>(w) || qobject_cast<const QProgressBar*>(w) ||
           qobject_cast<const QTextEdit*>(w) || qobject_cast<const QPlainTextEdit*>(w);
}

// Why `w` cannot be reached inside `window` (empty when it can): from the control up to the
// window, each widget lies inside its parent, except where the parent is a scroll area's
// viewport whose bars scroll over the whole of its content.
QString Unreachable(QWidget* w, QWidget* window) {
    QRect rect(QPoint(0, 0), w->size());
    for (QWidget* cur = w; cur != window;) {
        QWidget* parent = cur->parentWidget();
        if (!parent) return NameOf(w) + ": outside the window";
        rect.translate(cur->pos());
        auto* area = qobject_cast<QScrollArea*>(parent->parentWidget());
        if (area && parent == area->viewport() && cur == area->widget()) {
            const QSize content = cur->size(), view = parent->size();
            const int hmax = area->horizontalScrollBar()->maximum();
            const int vmax = area->verticalScrollBar()->maximum();
            if (content.width() - view.width() > hmax || content.height() - view.height() > vmax)
                return QString("%1: the scroll area shows %2x%3 of %4x%5 and scrolls %6x%7")
                    .arg(NameOf(area))
                    .arg(view.width())
                    .arg(view.height())
                    .arg(content.width())
                    .arg(content.height())
                    .arg(hmax)
                    .arg(vmax);
            rect = QRect(QPoint(0, 0), view);  // what shows of the content
        } else if (!QRect(QPoint(0, 0), parent->size()).contains(rect)) {
            return QString("%1 at %2 is outside %3 (%4x%5)")
                .arg(NameOf(w), Describe(rect), NameOf(parent))
                .arg(parent->width())
                .arg(parent->height());
        }
        cur = parent;
    }
    return {};
}

// What keeps `window` from fitting the screen it is on; empty when nothing does.
QStringList WhatDoesNotFit(QWidget* window) {
    QCoreApplication::processEvents();
    QStringList problems;
    const QRect screen = window->screen()->availableGeometry();
    if (!screen.contains(window->frameGeometry()))
        problems << QString("the window (%1) is not inside the screen (%2)")
                        .arg(Describe(window->frameGeometry()), Describe(screen));
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window) || !IsControl(w)) continue;
        if (const QString why = Unreachable(w, window); !why.isEmpty()) problems << why;
    }
    return problems;
}

// A picture for a look at the result, when VM_SCREENSHOTS names a folder.
void Save(QWidget* w, const QString& name) {
    const QString dir = qEnvironmentVariable("VM_SCREENSHOTS");
    if (dir.isEmpty()) return;
    QString file = name;
    file.replace(QRegularExpression("[^A-Za-z0-9]+"), "-");
    const QSize screen = w->screen()->size();
    w->grab().save(
        QString("%1/%2x%3-%4.png").arg(dir).arg(screen.width()).arg(screen.height()).arg(file));
}

}  // namespace

class ScreenFitWindowTest : public QObject {
    Q_OBJECT

    // The checks of the window the next modal run shows, then that window closed.
    void CheckNextModal(const QString& name, QStringList& problems, bool& seen) {
        WhenModal([&problems, &seen, name](QWidget* w) {
            seen = true;
            Save(w, name);
            for (const QString& p : WhatDoesNotFit(w)) problems << name + ": " + p;
            if (auto* dialog = qobject_cast<QDialog*>(w))
                dialog->reject();
            else
                w->close();
        });
    }

private slots:
    void init() { ResetHooks(); }

    void theScreenIsTheOneAsked() {
        const QSize screen = QGuiApplication::primaryScreen()->size();
        qInfo("screen %dx%d logical pixels, scale %s", screen.width(), screen.height(),
              qgetenv("QT_SCALE_FACTOR").constData());
        QVERIFY(screen.width() <= 1366);
    }

    // The main window and every editor window in it, one at a time, as the only child.
    void everyEditorWindowFits() {
        FrameUnderTest t;
        QStringList problems;
        for (const EditorEntry& e : Editors()) {
            if (!e.built() || e.command == 0 || e.kind == WindowKind::ModalDialog) continue;
            const QString name = QString::fromUtf8(e.name.data(), qsizetype(e.name.size()));
            t.frame->mdiArea()->closeAllSubWindows();
            t.frame->OpenEditor(e.command);
            CChildFrame* child = t.frame->childFrame(e.command);
            if (!child) {
                problems << name + ": no window";
                continue;
            }
            Save(t.frame.get(), name);
            for (const QString& p : WhatDoesNotFit(t.frame.get())) problems << name + ": " + p;
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    }

    // The editors that are dialogs of their own (channel edit, VFO, frequency range).
    void everyEditorDialogFits() {
        FrameUnderTest t;
        QStringList problems;
        int dialogs = 0;
        for (const EditorEntry& e : Editors()) {
            if (!e.built() || e.kind != WindowKind::ModalDialog) continue;
            const QString name = QString::fromUtf8(e.name.data(), qsizetype(e.name.size()));
            bool unlocked = true;
            EditorContext ctx = {.doc = t.frame->document()};
            ctx.freq_range_unlocked = &unlocked;
            bool seen = false;
            CheckNextModal(name, problems, seen);
            RunEditorDialog(e, ctx, t.frame.get());
            QVERIFY2(seen, qPrintable(name));
            ++dialogs;
        }
        QCOMPARE(dialogs, 3);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    }

    // The frame's dialogs, each as its command opens it.
    void everyDialogFits() {
        FrameUnderTest t;
        Answers answers;
        struct Case {
            const char* name;
            std::function<void()> open;
        };
        CMainFrame& frame = *t.frame;
        ChannelTableActions* actions = ChannelActionsOf(frame.childFrame(ID_EDIT_CHANNEL)->view());
        QVERIFY(actions);
        const Case cases[] = {
            {"Port", [&] { frame.OnSettingPort(); }},
            {"Service unlock", [&] { frame.OnServiceUnlock(); }},
            {"Custom Data", [&] { frame.OnCustomData(); }},
            {"About", [&] { frame.OnAbout(); }},
            {"Read", [&] { frame.OnProgramRead(); }},
            {"Sort", [&] { actions->Sort(); }},
            {"Print preview", [&] { frame.OnFilePrintPreview(); }},
        };
        QStringList problems;
        for (const Case& c : cases) {
            bool seen = false;
            CheckNextModal(c.name, problems, seen);
            c.open();
            QVERIFY2(seen, c.name);
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    }

    // The guide is a window of its own beside the frame.
    void theGuideFits() {
        FrameUnderTest t;
        t.frame->OnHelp();
        auto* guide = t.frame->findChild<QWidget*>("Help");
        QVERIFY(guide && guide->isVisible());
        Save(guide, "Help");
        const QStringList problems = WhatDoesNotFit(guide);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    }

    // The message boxes and the file chooser the frame shows through its hooks.
    void messageBoxAndFileChooserFit() {
        FrameUnderTest t;
        QStringList problems;
        bool seen = false;
        CheckNextModal("message box", problems, seen);
        Hooks().message_box(
            t.frame.get(), "Open port fail", "VM6142", MessageButtons::Ok, MessageIcon::Warning,
            "COM1 (/dev/ttyUSB0): Permission denied. Add your user to the group that owns the "
            "device (dialout) and log in again.");
        QVERIFY(seen);
        seen = false;
        CheckNextModal("file chooser", problems, seen);
        FileChoice choice;
        choice.caption = "Open";
        choice.folder = QString::fromStdString(t.folder.path().string());
        choice.filter = "Data files (*.dat)";
        Hooks().choose_file(t.frame.get(), choice);
        QVERIFY(seen);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    }
};

}  // namespace vm::gui

VM_WINDOW_TEST(vm::gui::ScreenFitWindowTest);
#include "screen_fit_window_test.moc"
