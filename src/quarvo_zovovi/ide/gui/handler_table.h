// The handler table: message type to handler, in one fixed order. Each handler family's file
// under handlers/ lists its entries; the table takes them in the order of MESSAGE_TYPES.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <quarvo_zovovi/ide/gui/host/logger.h>
#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_zovovi::ide::gui {

// What a handler body may use. Bodies run on the GUI thread only.
struct HandlerContext {
    MainWindow& main_window;
    Logger& logger;
};

// A handler body: reads the message it now owns and calls the host. It catches nothing; an
// exception ends it and is logged by the GUI-thread facility.
using HandlerBody = void (*)(HandlerContext& ctx, JsonObject& data);

struct HandlerEntry {
    std::string_view type;  // message type, matched exactly
    std::string_view name;  // the handler operation's name
    HandlerBody body;
};

// Every message type the Business Layer sends, in the table's order.
extern const std::array<std::string_view, 47> MESSAGE_TYPES;

// Handler families; each returns the entries its file under handlers/ defines.
std::span<const HandlerEntry> workbook_handlers();
std::span<const HandlerEntry> module_handlers();
std::span<const HandlerEntry> package_handlers();
std::span<const HandlerEntry> console_handlers();
std::span<const HandlerEntry> language_handlers();
std::span<const HandlerEntry> debugger_handlers();
std::span<const HandlerEntry> automation_handlers();
std::span<const HandlerEntry> settings_handlers();

// Built once, read-only afterwards (so any thread may read it).
class HandlerTable {
  public:
    HandlerTable();  // collects every family in MESSAGE_TYPES order

    const HandlerEntry* find(std::string_view type) const;
    // Entries in insertion order.
    const std::vector<HandlerEntry>& entries() const { return entries_; }

  private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::vector<HandlerEntry> entries_;
    std::unordered_map<std::string_view, size_t, Hash, std::equal_to<>> index_;
};

}  // namespace quarvo_zovovi::ide::gui
