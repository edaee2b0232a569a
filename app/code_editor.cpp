#include "code_editor.h"

#include <QFontDatabase>
#include <QTextBlock>

namespace quarvo_app {

CodeEditor::CodeEditor(std::string workbook_id, std::string module_name, QWidget* parent)
    : QPlainTextEdit(parent),
      workbook_id_(std::move(workbook_id)),
      module_name_(std::move(module_name)) {
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setTabStopDistance(fontMetrics().horizontalAdvance(QLatin1Char(' ')) * 4);
}

void CodeEditor::set_debug_line(const Json& line) {
    long long number = 0;
    if (line.is_int64()) number = line.get_int64();
    else if (line.is_uint64()) number = static_cast<long long>(line.get_uint64());
    const QTextBlock block =
        number >= 1 && number <= blockCount() ? document()->findBlockByNumber(int(number - 1))
                                              : QTextBlock();
    if (!block.isValid()) {
        clear_debug_line();
        return;
    }
    QTextEdit::ExtraSelection mark;
    mark.format.setBackground(QColor("#5a4a00"));
    mark.format.setProperty(QTextFormat::FullWidthSelection, true);
    mark.cursor = QTextCursor(block);
    setExtraSelections({mark});
    debug_line_ = int(number);
    QTextCursor cursor(block);
    setTextCursor(cursor);
    centerCursor();
}

void CodeEditor::clear_debug_line() {
    setExtraSelections({});
    debug_line_ = 0;
}

}  // namespace quarvo_app
