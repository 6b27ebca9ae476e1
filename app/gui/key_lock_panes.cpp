#include "app/gui/key_lock_panes.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QStatusBar>

namespace vm::gui {
namespace {

QLabel* AddPane(QStatusBar& bar, const char* indicator) {
    auto* pane = new QLabel(&bar);
    pane->setObjectName(indicator);
    pane->setAlignment(Qt::AlignCenter);
    // As wide as its indicator whether it is shown or not, so the panes never move.
    pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance(indicator) + 8);
    bar.addPermanentWidget(pane);
    return pane;
}

void Show(QLabel* pane, const char* indicator, std::optional<bool> on) {
    pane->setText(on.value_or(false) ? indicator : "");
    pane->setToolTip(on ? QString() : QString(KeyLockPanes::kUnavailable));
}

}  // namespace

KeyLockPanes::KeyLockPanes(QStatusBar& bar, Reader read)
    : QObject(&bar),
      read_(read ? std::move(read) : PlatformReader()),
      caps_(AddPane(bar, "CAP")),
      num_(AddPane(bar, "NUM")),
      scroll_(AddPane(bar, "SCRL")) {
    qApp->installEventFilter(this);
    Refresh();
}

KeyLockPanes::Reader KeyLockPanes::PlatformReader() {
    return []() -> std::optional<LockKeys> {
        auto* x11 =
            qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
        return x11 ? ReadX11LockKeys(x11->display()) : std::nullopt;
    };
}

void KeyLockPanes::Refresh() {
    const std::optional<LockKeys> keys = read_();
    Show(caps_, "CAP", keys ? std::optional(keys->caps) : std::nullopt);
    Show(num_, "NUM", keys ? std::optional(keys->num) : std::nullopt);
    Show(scroll_, "SCRL", keys ? std::optional(keys->scroll) : std::nullopt);
}

bool KeyLockPanes::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
            // A key from the display reaches its window first, then the focused widget and its
            // parents: read once per key, at the window.
            if (watched->isWindowType()) Refresh();
            break;
        case QEvent::ApplicationActivate:
            Refresh();
            break;
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace vm::gui
