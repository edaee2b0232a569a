// MessageParser: incoming frames to JSON values, exact to the last digit. Every real is
// converted from its own text with std::from_chars (correctly rounded; Boost.JSON 1.81's own
// conversion is not), NaN, Infinity and -Infinity (as a Python peer writes them) are read as
// the reals they name, and a lone UTF-16 surrogate escape becomes U+FFFD. Integers beyond 64
// bits become the nearest real. One parser per thread; it keeps its buffers between frames.
#pragma once

#include <boost/system/error_code.hpp>
#include <memory>
#include <string_view>

#include <quarvo_zovovi/ide/gui/core/json.h>

namespace quarvo_zovovi::ide::gui::detail {

class MessageParser {
  public:
    MessageParser();
    ~MessageParser();
    MessageParser(const MessageParser&) = delete;
    MessageParser& operator=(const MessageParser&) = delete;

    // The value of one complete JSON text; on failure, null and the error in `ec`.
    Json parse(std::string_view text, boost::system::error_code& ec);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quarvo_zovovi::ide::gui::detail
