// The states of the three lock keys as the display server keeps them. Reading them needs the
// platform: on an X display the keyboard extension's named indicators are read; elsewhere
// (Wayland, the offscreen platform, a display without the extension) nothing can be read.
#pragma once

#include <optional>

namespace vm::gui {

struct LockKeys {
    bool caps = false;
    bool num = false;
    bool scroll = false;
    bool operator==(const LockKeys&) const = default;
};

// The lock keys of the core keyboard of an X display (an Xlib `Display*`); nothing when
// `x_display` is null, the keyboard extension is missing, or the program was built without X.
std::optional<LockKeys> ReadX11LockKeys(void* x_display);

}  // namespace vm::gui
