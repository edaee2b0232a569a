// The editor of one module: Python with syntax highlighting, line numbers in a gutter, the
// cursor's line and the debugger's current line each marked in a colour of its own.
#pragma once

#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSyntaxHighlighter>
#include <QTextCharFormat>
#include <string>
#include <vector>

#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_app {

using namespace quarvo_zovovi::ide::gui;

// Keywords, builtins, decorators, numbers, strings (triple-quoted ones across lines) and
// comments of Python source.
class PythonHighlighter final : public QSyntaxHighlighter {
  public:
    explicit PythonHighlighter(QTextDocument* document);

    // The formats, for the window's tests.
    const QTextCharFormat& keyword_format() const { return keyword_; }
    const QTextCharFormat& string_format() const { return string_; }
    const QTextCharFormat& comment_format() const { return comment_; }

  protected:
    void highlightBlock(const QString& text) override;

  private:
    struct Rule {
        QRegularExpression pattern;
        QTextCharFormat format;
        int group = 0;
    };
    std::vector<Rule> rules_;
    QTextCharFormat keyword_, builtin_, number_, string_, comment_, decorator_, definition_;
};

class CodeEditor final : public QPlainTextEdit, public MonacoEditor {
  public:
    static constexpr const char* current_line_color = "#2a2d2e";
    static constexpr const char* debug_line_color = "#5a4a00";

    CodeEditor(std::string workbook_id, std::string module_name, QWidget* parent = nullptr);

    std::string workbook_id() const override { return workbook_id_; }
    const std::string& module_name() const { return module_name_; }

    // line: a 1-based line number; anything else (null, text, out of range) clears the mark.
    void set_debug_line(const Json& line) override;
    void clear_debug_line();
    // The marked line, 0 when none.
    int debug_line() const { return debug_line_; }

    PythonHighlighter& highlighter() { return *highlighter_; }
    QWidget& gutter() { return *gutter_; }
    int gutter_width() const;
    // The background a line is marked with: the debugger's colour, the cursor line's, or none.
    QColor line_mark(int line) const;

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    friend class Gutter;
    void paint_gutter(QPaintEvent* event);
    void update_marks();

    std::string workbook_id_;
    std::string module_name_;
    int debug_line_ = 0;
    PythonHighlighter* highlighter_;  // owned by the document
    QWidget* gutter_;                 // owned by the editor
};

}  // namespace quarvo_app
