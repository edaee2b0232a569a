// The editor of one module: a plain-text code view that the client can mark with the
// debugger's current line.
#pragma once

#include <QPlainTextEdit>
#include <string>

#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_app {

using namespace quarvo_zovovi::ide::gui;

class CodeEditor final : public QPlainTextEdit, public MonacoEditor {
  public:
    CodeEditor(std::string workbook_id, std::string module_name, QWidget* parent = nullptr);

    std::string workbook_id() const override { return workbook_id_; }
    const std::string& module_name() const { return module_name_; }

    // line: a 1-based line number; anything else (null, text, out of range) clears the mark.
    void set_debug_line(const Json& line) override;
    void clear_debug_line();
    // The marked line, 0 when none.
    int debug_line() const { return debug_line_; }

  private:
    std::string workbook_id_;
    std::string module_name_;
    int debug_line_ = 0;
};

}  // namespace quarvo_app
