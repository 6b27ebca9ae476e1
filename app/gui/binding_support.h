// What the form binder and the grid widget share: the guard that marks a change coming from
// the form (so that it is not handed back to it), and the keys the headless controls know.
#pragma once

#include <Qt>
#include <optional>

#include "app/widgets/form.h"

namespace vm::gui {

struct SyncGuard {
    explicit SyncGuard(int& n) : n_(n) { ++n_; }
    ~SyncGuard() { --n_; }
    SyncGuard(const SyncGuard&) = delete;
    SyncGuard& operator=(const SyncGuard&) = delete;
    int& n_;
};

// The form's key for a Qt key. Edits and lists keep their arrows, Home and End for themselves
// (`with_navigation` false); the grid hands those to its headless grid too.
inline std::optional<Key> FormKeyOf(int qt_key, bool with_navigation) {
    switch (qt_key) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return Key::Enter;
        case Qt::Key_Escape:
            return Key::Escape;
        case Qt::Key_F1:
            return Key::F1;
        case Qt::Key_F11:
            return Key::F11;
        default:
            break;
    }
    if (!with_navigation) return std::nullopt;
    switch (qt_key) {
        case Qt::Key_Left:
            return Key::Left;
        case Qt::Key_Right:
            return Key::Right;
        case Qt::Key_Up:
            return Key::Up;
        case Qt::Key_Down:
            return Key::Down;
        case Qt::Key_Home:
            return Key::Home;
        case Qt::Key_End:
            return Key::End;
        default:
            return std::nullopt;
    }
}

}  // namespace vm::gui
