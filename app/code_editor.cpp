#include "code_editor.h"

#include <QFontDatabase>
#include <QPainter>
#include <QRegularExpression>
#include <QTextBlock>

namespace quarvo_app {

// ---- PythonHighlighter ----

namespace {

QTextCharFormat text_format(const char* color, bool bold = false, bool italic = false) {
    QTextCharFormat f;
    f.setForeground(QColor(color));
    if (bold) f.setFontWeight(QFont::Bold);
    f.setFontItalic(italic);
    return f;
}

constexpr int in_triple_double = 1;
constexpr int in_triple_single = 2;

}  // namespace

PythonHighlighter::PythonHighlighter(QTextDocument* document)
    : QSyntaxHighlighter(document),
      keyword_(text_format("#569cd6", true)),
      builtin_(text_format("#4ec9b0")),
      number_(text_format("#b5cea8")),
      string_(text_format("#ce9178")),
      comment_(text_format("#6a9955", false, true)),
      decorator_(text_format("#dcdcaa")),
      definition_(text_format("#dcdcaa", true)) {
    const QString keywords =
        "False|None|True|and|as|assert|async|await|break|class|continue|def|del|elif|else|"
        "except|finally|for|from|global|if|import|in|is|lambda|match|case|nonlocal|not|or|"
        "pass|raise|return|try|while|with|yield";
    const QString builtins =
        "abs|all|any|bool|dict|enumerate|float|int|isinstance|len|list|map|max|min|open|"
        "print|range|repr|round|set|sorted|str|sum|super|tuple|type|zip|self";
    rules_.push_back({QRegularExpression("\\b(" + keywords + ")\\b"), keyword_});
    rules_.push_back({QRegularExpression("\\b(" + builtins + ")\\b"), builtin_});
    rules_.push_back(
        {QRegularExpression(R"(\b(0[xX][0-9a-fA-F_]+|\d[\d_]*(\.\d*)?([eE][+-]?\d+)?)\b)"),
         number_});
    rules_.push_back({QRegularExpression(R"(^\s*@[\w.]+)"), decorator_});
    rules_.push_back({QRegularExpression(R"(\b(?:def|class)\s+(\w+))"), definition_, 1});
    // Strings and comments last: they override what matched inside them.
    rules_.push_back({QRegularExpression(R"("(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*')"), string_});
    rules_.push_back({QRegularExpression(R"(#.*$)"), comment_});
}

void PythonHighlighter::highlightBlock(const QString& text) {
    for (const Rule& rule : rules_) {
        auto it = rule.pattern.globalMatch(text);
        while (it.hasNext()) {
            const auto m = it.next();
            if (rule.format == comment_) {
                // A '#' inside a string starts no comment.
                const int at = int(m.capturedStart());
                if (format(at) == string_) continue;
            }
            setFormat(int(m.capturedStart(rule.group)), int(m.capturedLength(rule.group)),
                      rule.format);
        }
    }
    // Triple-quoted strings, which may span lines: the block state carries them on.
    setCurrentBlockState(0);
    int from = 0;
    int state = previousBlockState();
    while (from <= text.size()) {
        QString quote;
        int start = from;
        if (state == in_triple_double || state == in_triple_single) {
            quote = state == in_triple_double ? "\"\"\"" : "'''";
        } else {
            const int d = int(text.indexOf("\"\"\"", from));
            const int s = int(text.indexOf("'''", from));
            if (d < 0 && s < 0) break;
            start = (d >= 0 && (s < 0 || d < s)) ? d : s;
            quote = start == d ? "\"\"\"" : "'''";
            from = start + 3;
        }
        const int end = int(text.indexOf(quote, from));
        if (end < 0) {
            setFormat(start, int(text.size()) - start, string_);
            setCurrentBlockState(quote == "\"\"\"" ? in_triple_double : in_triple_single);
            break;
        }
        setFormat(start, end + 3 - start, string_);
        from = end + 3;
        state = 0;
    }
}

// ---- CodeEditor ----

// The line-number gutter: a child of the editor, beside its text.
class Gutter final : public QWidget {
  public:
    explicit Gutter(CodeEditor* editor) : QWidget(editor), editor_(editor) {}
    QSize sizeHint() const override { return {editor_->gutter_width(), 0}; }

  protected:
    void paintEvent(QPaintEvent* event) override { editor_->paint_gutter(event); }

  private:
    CodeEditor* editor_;
};

CodeEditor::CodeEditor(std::string workbook_id, std::string module_name, QWidget* parent)
    : QPlainTextEdit(parent),
      workbook_id_(std::move(workbook_id)),
      module_name_(std::move(module_name)),
      highlighter_(new PythonHighlighter(document())),
      gutter_(new Gutter(this)) {
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setTabStopDistance(fontMetrics().horizontalAdvance(QLatin1Char(' ')) * 4);
    setStyleSheet("QPlainTextEdit { background: #1e1e1e; color: #d4d4d4; }");
    connect(this, &QPlainTextEdit::blockCountChanged, this,
            [this] { setViewportMargins(gutter_width(), 0, 0, 0); });
    connect(this, &QPlainTextEdit::updateRequest, this, [this](const QRect& rect, int dy) {
        if (dy)
            gutter_->scroll(0, dy);
        else
            gutter_->update(0, rect.y(), gutter_->width(), rect.height());
    });
    connect(this, &QPlainTextEdit::cursorPositionChanged, this, [this] { update_marks(); });
    setViewportMargins(gutter_width(), 0, 0, 0);
    update_marks();
}

int CodeEditor::gutter_width() const {
    int digits = 1;
    for (int n = std::max(1, blockCount()); n >= 10; n /= 10) ++digits;
    return 12 + fontMetrics().horizontalAdvance(QLatin1Char('9')) * std::max(3, digits);
}

void CodeEditor::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    const QRect area = contentsRect();
    gutter_->setGeometry(QRect(area.left(), area.top(), gutter_width(), area.height()));
}

void CodeEditor::paint_gutter(QPaintEvent* event) {
    QPainter painter(gutter_);
    painter.fillRect(event->rect(), QColor("#252526"));
    QTextBlock block = firstVisibleBlock();
    int top = int(blockBoundingGeometry(block).translated(contentOffset()).top());
    const int current = textCursor().blockNumber() + 1;
    while (block.isValid() && top <= event->rect().bottom()) {
        const int bottom = top + int(blockBoundingRect(block).height());
        const int line = block.blockNumber() + 1;
        if (block.isVisible() && bottom >= event->rect().top()) {
            if (line == debug_line_)
                painter.fillRect(0, top, gutter_->width(), bottom - top, QColor(debug_line_color));
            painter.setPen(line == current || line == debug_line_ ? QColor("#c6c6c6")
                                                                  : QColor("#6e7681"));
            painter.drawText(0, top, gutter_->width() - 6, fontMetrics().height(), Qt::AlignRight,
                             QString::number(line));
        }
        block = block.next();
        top = bottom;
    }
}

QColor CodeEditor::line_mark(int line) const {
    for (const QTextEdit::ExtraSelection& s : extraSelections())
        if (s.cursor.blockNumber() + 1 == line) return s.format.background().color();
    return {};
}

void CodeEditor::update_marks() {
    QList<QTextEdit::ExtraSelection> marks;
    QTextEdit::ExtraSelection current;
    current.format.setBackground(QColor(current_line_color));
    current.format.setProperty(QTextFormat::FullWidthSelection, true);
    current.cursor = textCursor();
    current.cursor.clearSelection();
    // The debugger's line wins over the cursor's: it is the one that must stand out.
    if (current.cursor.blockNumber() + 1 != debug_line_) marks << current;
    if (debug_line_ > 0) {
        QTextEdit::ExtraSelection debug;
        debug.format.setBackground(QColor(debug_line_color));
        debug.format.setProperty(QTextFormat::FullWidthSelection, true);
        debug.cursor = QTextCursor(document()->findBlockByNumber(debug_line_ - 1));
        marks << debug;
    }
    setExtraSelections(marks);
    gutter_->update();
}

void CodeEditor::set_debug_line(const Json& line) {
    long long number = 0;
    if (line.is_int64())
        number = line.get_int64();
    else if (line.is_uint64())
        number = static_cast<long long>(line.get_uint64());
    const QTextBlock block = number >= 1 && number <= blockCount()
                                 ? document()->findBlockByNumber(int(number - 1))
                                 : QTextBlock();
    if (!block.isValid()) {
        clear_debug_line();
        return;
    }
    debug_line_ = int(number);
    QTextCursor cursor(block);
    setTextCursor(cursor);  // updates the marks
    centerCursor();
    update_marks();
}

void CodeEditor::clear_debug_line() {
    debug_line_ = 0;
    update_marks();
}

}  // namespace quarvo_app
