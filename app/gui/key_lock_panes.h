// The status bar's key-state indicators: "CAP", "NUM" and "SCRL", each shown while its lock
// is on and blank while it is off, read again whenever a key is pressed or released in the
// program and whenever the program becomes active. Where the platform cannot tell the lock
// states (see lock_keys.h) the three panes stay blank and their tool tip says why.
#pragma once

#include <QObject>
#include <functional>
#include <optional>

#include "app/gui/lock_keys.h"

class QLabel;
class QStatusBar;

namespace vm::gui {

class KeyLockPanes : public QObject {
    Q_OBJECT
public:
    using Reader = std::function<std::optional<LockKeys>()>;

    // Adds the three panes to the right of the status bar's permanent panes; `read` defaults
    // to the platform's lock states.
    explicit KeyLockPanes(QStatusBar& bar, Reader read = {});

    QLabel* caps() const { return caps_; }
    QLabel* num() const { return num_; }
    QLabel* scroll() const { return scroll_; }

    // Reads the states and shows them.
    void Refresh();

    static Reader PlatformReader();
    static constexpr const char* kUnavailable = "The lock keys cannot be read on this display";

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Reader read_;
    QLabel* caps_;
    QLabel* num_;
    QLabel* scroll_;
};

}  // namespace vm::gui
