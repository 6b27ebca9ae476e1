#include "app/shell/globals.h"

namespace vm::shell {

RadioImage g_RadioImage{};
FileHeader g_FileHeader{};
BandTables g_BandTables = BandTables::Initial();
AppState g_App;
Document g_Document(g_RadioImage, g_FileHeader, g_BandTables);

}  // namespace vm::shell
