// What the end-to-end benchmarks share: the flood frames and commands of the push server, and
// the process's resident memory.
#pragma once

#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <boost/json/serialize.hpp>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>

namespace quarvo_bench {

// The process's resident set, in KiB.
inline long rss_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Runs the GUI thread's events until `client` is connected; throws after 10 s, naming `what`.
template <class Client>
void wait_connected(const Client& client, const std::string& what) {
    QElapsedTimer waited;
    waited.start();
    while (!client.is_connected() && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!client.is_connected()) throw std::runtime_error(what + " did not connect");
}

// A stdout message of `bytes` bytes in all; a run of ten '#' in it becomes each copy's number.
inline std::string stdout_frame(size_t bytes, bool numbered = false) {
    const std::string head = numbered ? R"({"type": "stdout", "content": "##########)"
                                      : R"({"type": "stdout", "content": ")";
    const std::string tail = R"(", "source": "ide"})";
    return head + std::string(bytes - head.size() - tail.size(), 'x') + tail;
}

// The push server's command for `count` copies of `frame`, then its end marker; deflated: the
// copies compressed (permessage-deflate, which the client must have negotiated). A server
// with a ping patience sends `first` before the copies.
inline std::string flood_command(int64_t count, const std::string& frame, bool deflated = false,
                                 const std::string& first = {}) {
    boost::json::object command{{"cmd", "flood"}, {"count", count}, {"frame", frame}};
    if (deflated) command["deflate"] = true;
    if (!first.empty()) command["first"] = first;
    return boost::json::serialize(command);
}

// An "all_modules" message of about `bytes` whose module reads like code: it compresses about
// as much as real module code does, unlike a run of one letter.
inline std::string all_modules_code_frame(size_t bytes) {
    std::string code;
    for (int i = 0; code.size() < bytes; ++i)
        code += "    total_" + std::to_string(i % 977) + " = sheet.cell(row=" + std::to_string(i) +
                ", column=" + std::to_string(i % 13) + ").value or 0\\n";
    return R"({"type": "all_modules", "workbook_id": "wb", "modules": {"m": ")" + code + R"("}})";
}

}  // namespace quarvo_bench
