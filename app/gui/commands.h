// Command identifiers of the editor's menus, toolbar and navigation tree. The framework's
// standard commands keep the framework's numbers; the program's own start at 32771. The
// editors' commands are the catalogue's (editor_commands.h).
#pragma once

#include "app/editors/catalogue/editor_commands.h"

namespace vm::gui {

enum Command : int {
    ID_FILE_NEW = 0xE100,
    ID_FILE_OPEN = 0xE101,
    ID_FILE_SAVE = 0xE103,
    ID_FILE_SAVE_AS = 0xE104,
    ID_FILE_PRINT_SETUP = 0xE106,
    ID_FILE_PRINT = 0xE107,
    ID_FILE_PRINT_PREVIEW = 0xE109,
    ID_WINDOW_ARRANGE = 0xE131,
    ID_WINDOW_CASCADE = 0xE132,
    ID_WINDOW_TILE_HORZ = 0xE133,
    ID_APP_ABOUT = 0xE140,
    ID_APP_EXIT = 0xE141,
    ID_HELP_INDEX = 0xE142,
    ID_VIEW_TOOLBAR = 0xE800,
    ID_VIEW_STATUS_BAR = 0xE801,

    ID_VIEW_TREE = 32771,
    ID_SETTING_PORT = 32772,
    ID_PROGRAM_WRITE = 32773,
    ID_PROGRAM_READ = 32774,
    ID_EDIT_CUSTOM_DATA = 32796,
    ID_FILE_IMPORT_CHANNELS = 32801,
    ID_FILE_EXPORT_CHANNELS = 32802,
    // Beyond the original menus: the backups and the comparison of data files.
    ID_FILE_OPEN_BACKUP = 32900,
    ID_FILE_COMPARE = 32901,
};

// The navigation tree's control identifier.
inline constexpr int IDC_TREE = 2001;

}  // namespace vm::gui
