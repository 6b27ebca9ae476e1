// The process-wide data of the editor, each existing once: the radio image,
// the file header, the band limit tables, the start-up values and the document (current file).
// Only the program's top level (the editor's main frame, the command-line tool's main) touches
// these; every function below it takes what it works on by reference.
#pragma once

#include "app/image/band_tables.h"
#include "app/image/radio_image.h"
#include "app/shell/app_state.h"
#include "app/shell/data_file.h"

namespace vm::shell {

extern RadioImage g_RadioImage;  // all zero at start
extern FileHeader g_FileHeader;  // all zero at start
extern BandTables g_BandTables;  // BandTables::Initial() at start
extern AppState g_App;           // the values before start-up until StartUp runs
extern Document g_Document;      // over the three above

}  // namespace vm::shell
