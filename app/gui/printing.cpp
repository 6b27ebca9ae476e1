#include "app/gui/printing.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPrinter>
#include <algorithm>
#include <numeric>

namespace vm::gui {

PageLayout LayoutPages(int line_count, int line_height, int usable_height) {
    PageLayout layout;
    layout.lines_per_page = std::max(1, line_height > 0 ? usable_height / line_height : 1);
    layout.pages = std::max(1, (line_count + layout.lines_per_page - 1) / layout.lines_per_page);
    return layout;
}

QString PrintDocumentName(const QString& file_name) {
    const qsizetype dot = file_name.indexOf('.');
    return dot < 0 ? file_name : file_name.left(dot);
}

int PrintPages(QPrinter& printer, const QString& document_name, const PrintList& list) {
    printer.setDocName(document_name);
    QPainter painter;
    if (!painter.begin(&printer)) return 0;

    QFont font("Times New Roman");
    font.setPointSize(12);
    font.setWeight(QFont::Normal);
    QFont bold = font;
    bold.setBold(true);
    painter.setFont(font);
    const QFontMetrics fm(font, &printer);
    const int char_height = fm.height();
    const int char_width =
        fm.horizontalAdvance("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSATUVWXYZ") / 52;
    const QRect page = painter.viewport();
    const int usable = page.height() - 3 * char_height - 100;
    const int margin = 2 * char_width;
    const int width = page.width() - 2 * margin;

    // Columns as wide as their widest cell; when the table is wider than the page at 12
    // points, its lines are set in a smaller size so that every column stays readable.
    std::size_t columns = 0;
    for (const PrintLine& line : list.lines)
        columns = std::max(columns, static_cast<std::size_t>(line.size()));
    auto column_widths = [&](const QFontMetrics& m) {
        std::vector<int> w(columns, 0);
        for (const PrintLine& line : list.lines)
            for (qsizetype c = 0; c < line.size(); ++c)
                w[static_cast<std::size_t>(c)] =
                    std::max(w[static_cast<std::size_t>(c)],
                             m.horizontalAdvance(line[c]) + m.averageCharWidth());
        return w;
    };
    QFont list_font = font;
    std::vector<int> widths = column_widths(fm);
    const int natural = std::accumulate(widths.begin(), widths.end(), 0);
    if (natural > width && natural > 0) {
        list_font.setPointSizeF(std::max(5.0, 12.0 * width / natural));
        widths = column_widths(QFontMetrics(list_font, &printer));
    }
    const QFontMetrics lm(list_font, &printer);
    const int line_height = lm.height() + lm.leading();
    const PageLayout layout = LayoutPages(static_cast<int>(list.lines.size()), line_height, usable);
    // Spread the columns over the page width.
    const int total = std::max(1, std::accumulate(widths.begin(), widths.end(), 0));
    std::vector<int> x;
    int run = 0;
    for (int w : widths) {
        x.push_back(margin +
                    static_cast<int>(static_cast<long long>(run) * width / std::max(total, width)));
        run += w;
    }
    x.push_back(margin +
                static_cast<int>(static_cast<long long>(run) * width / std::max(total, width)));

    for (int p = 0; p < layout.pages; ++p) {
        if (p > 0) printer.newPage();
        // Header: the document name in bold and a rule below it.
        painter.setFont(bold);
        painter.drawText(QRect(margin, 0, width, char_height), Qt::AlignLeft | Qt::AlignVCenter,
                         document_name);
        painter.drawLine(margin, char_height + char_height / 4, margin + width,
                         char_height + char_height / 4);
        painter.setFont(list_font);
        int y = 2 * char_height;
        const std::size_t first =
            static_cast<std::size_t>(p) * static_cast<std::size_t>(layout.lines_per_page);
        const std::size_t last =
            std::min(list.lines.size(), first + static_cast<std::size_t>(layout.lines_per_page));
        for (std::size_t i = first; i < last; ++i, y += line_height) {
            const PrintLine& line = list.lines[i];
            for (int c = 0; c < line.size(); ++c) {
                const std::size_t ci = static_cast<std::size_t>(c);
                painter.drawText(QRect(x[ci], y, x[ci + 1] - x[ci], line_height),
                                 Qt::AlignHCenter | Qt::AlignVCenter, line[c]);
            }
        }
        // Footer: a rule above "-- Page %d of %d --", centred, in bold.
        const int footer = page.height() - char_height;
        painter.drawLine(margin, footer - char_height / 4, margin + width,
                         footer - char_height / 4);
        painter.setFont(bold);
        painter.drawText(QRect(margin, footer, width, char_height), Qt::AlignCenter,
                         QString::asprintf("-- Page %d of %d --", p + 1, layout.pages));
        painter.setFont(font);
    }
    painter.end();
    return layout.pages;
}

}  // namespace vm::gui
