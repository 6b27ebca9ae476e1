// The commands that open the editors (menu, tree and accelerator identifiers).
#pragma once

namespace vm {

enum EditorCommand : int {
    ID_EDIT_MODEL = 32775,
    ID_EDIT_CHANNEL = 32778,
    ID_EDIT_ALARM = 32782,
    ID_EDIT_DTMF = 32784,
    ID_EDIT_2TONE = 32785,
    ID_EDIT_5TONE = 32786,
    ID_EDIT_BASIC = 32789,
    ID_EDIT_FREQ_RANGE = 32791,
    ID_EDIT_VFO = 32793,
    ID_EDIT_SCAN = 32795,
};

}  // namespace vm
