// Kept apart from every Qt header: Xlib's macros (None, Bool, Status, ...) clash with Qt's names.
#include "app/gui/lock_keys.h"

#if VM_HAVE_X11
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#endif

namespace vm::gui {

#if VM_HAVE_X11
namespace {

// The indicator of that name is lit; nothing when the keyboard has no such indicator.
std::optional<bool> IndicatorOn(Display* display, const char* name) {
    const Atom atom = XInternAtom(display, name, False);
    if (atom == 0) return std::nullopt;
    Bool on = False;
    if (!XkbGetNamedIndicator(display, atom, nullptr, &on, nullptr, nullptr)) return std::nullopt;
    return on != False;
}

}  // namespace

std::optional<LockKeys> ReadX11LockKeys(void* x_display) {
    auto* display = static_cast<Display*>(x_display);
    if (!display) return std::nullopt;
    int opcode = 0, event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &event, &error, &major, &minor)) return std::nullopt;
    const auto caps = IndicatorOn(display, "Caps Lock");
    const auto num = IndicatorOn(display, "Num Lock");
    const auto scroll = IndicatorOn(display, "Scroll Lock");
    if (!caps && !num && !scroll) return std::nullopt;
    return LockKeys{caps.value_or(false), num.value_or(false), scroll.value_or(false)};
}

#else

std::optional<LockKeys> ReadX11LockKeys(void*) {
    return std::nullopt;
}

#endif

}  // namespace vm::gui
