#include "app/editors/framework/form_dialog.h"

namespace vm {

bool CFormDialog::CloseFromDialog() {
    if (!RequestClose()) return false;
    if (close_window) close_window();
    return true;
}

}  // namespace vm
