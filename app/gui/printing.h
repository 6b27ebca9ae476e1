// Printing (File > Print, Print Preview): the pages of the print list between a header with
// the document name and a footer "-- Page %d of %d --", in Times New Roman 12 points.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

class QPainter;
class QPrinter;

namespace vm::gui {

// Lines per page and page count: a new page whenever the next line would pass the usable
// height; at least one page and at least one line per page.
struct PageLayout {
    int lines_per_page = 1;
    int pages = 1;
};
PageLayout LayoutPages(int line_count, int line_height, int usable_height);

// The document name: the file name (or the default file name) cut before its first ".".
QString PrintDocumentName(const QString& file_name);

// One line of the print list: its cells, placed at the column positions.
using PrintLine = QStringList;

struct PrintList {
    std::vector<PrintLine> lines;  // columns as wide as their widest cell
};

// Prints the list on the printer (one job named `document_name`); returns the page count.
int PrintPages(QPrinter& printer, const QString& document_name, const PrintList& list);

}  // namespace vm::gui
