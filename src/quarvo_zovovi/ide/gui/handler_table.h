// The handler table: message type to handler, in one fixed order. Each handler family's file
// under handlers/ lists its entries; the table takes them in the order of MESSAGE_TYPES.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_zovovi::ide::gui {

/// What a handler body may use. Bodies run on the GUI thread only.
struct HandlerContext {
    MainWindow& main_window;  ///< the host window
    Logger& logger;           ///< the client's logger
};

/// A handler body: reads the message it now owns and calls the host. It catches nothing; an
/// exception ends it and is logged by the GUI-thread facility.
using HandlerBody = void (*)(HandlerContext& ctx, JsonObject& data);

/// One entry of the handler table.
struct HandlerEntry {
    std::string_view type;  ///< the message type, matched exactly
    std::string_view name;  ///< the handler operation's name, "_handle_" and the type
    HandlerBody body;       ///< what it does
};

/// Every message type the Business Layer sends, in the table's order.
extern const std::array<std::string_view, 47> MESSAGE_TYPES;

/// @name Handler families
/// Each returns the entries one file under handlers/ defines.
/// @{
/// Workbooks connecting, disconnecting, renamed, listed; the watchdog's details.
std::span<const HandlerEntry> workbook_handlers();
/// Module contents, deletions, saves and lists.
std::span<const HandlerEntry> module_handlers();
/// pip output, package queries, caches, installation, dependencies, paths.
std::span<const HandlerEntry> package_handlers();
/// Output of user code, results and execution results, forwarded log lines.
std::span<const HandlerEntry> console_handlers();
/// Completion, signature help, hover and diagnostics.
std::span<const HandlerEntry> language_handlers();
/// Debugger pauses, exceptions, resumption, termination and evaluation.
std::span<const HandlerEntry> debugger_handlers();
/// Event managers, handler registration, event configuration, publication, object registry.
std::span<const HandlerEntry> automation_handlers();
/// Settings, show-IDE requests and messages to the IDE's user.
std::span<const HandlerEntry> settings_handlers();
/// @}

/// Message type to handler. Built once, read-only afterwards, so any thread may read it.
class HandlerTable {
  public:
    /// Collects every family in the order of MESSAGE_TYPES.
    HandlerTable();

    /// The entry for `type`, or nullptr when no handler takes it.
    const HandlerEntry* find(std::string_view type) const;
    /// The entries in the table's order.
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
