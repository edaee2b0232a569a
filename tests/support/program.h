// A child process for end-to-end tests: its stdout read line by line, with deadline waits.
#pragma once

#include <QDeadlineTimer>
#include <QProcess>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace quarvo_test {

class Program {
  public:
    Program(const char* path, const QStringList& args) {
        proc_.setProgram(path);
        proc_.setArguments(args);
        proc_.start();
    }
    ~Program() {
        if (proc_.state() != QProcess::NotRunning) {
            proc_.kill();
            proc_.waitForFinished(5000);
        }
    }

    // The first line (from the start) for which pred holds, or "" after the timeout.
    std::string wait_for(const std::function<bool(const std::string&)>& pred,
                         int timeout_ms = 10000) {
        QDeadlineTimer deadline(timeout_ms);
        for (;;) {
            read();
            for (size_t i = checked_; i < lines_.size(); ++i)
                if (pred(lines_[i])) return lines_[i];
            if (deadline.hasExpired() || proc_.state() == QProcess::NotRunning) return {};
            proc_.waitForReadyRead(20);
        }
    }
    std::string wait_for_text(const std::string& piece, int timeout_ms = 10000) {
        return wait_for([&](const std::string& l) { return l.find(piece) != std::string::npos; },
                        timeout_ms);
    }
    size_t count(const std::string& piece) {
        read();
        return size_t(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
            return l.find(piece) != std::string::npos;
        }));
    }
    void send(const std::string& line) {
        proc_.write((line + "\n").c_str());
        proc_.waitForBytesWritten(1000);
    }
    // Exit status once it ended by itself, or -1.
    int finish(int timeout_ms = 10000) {
        if (!proc_.waitForFinished(timeout_ms)) return -1;
        read();
        return proc_.exitStatus() == QProcess::NormalExit ? proc_.exitCode() : -1;
    }
    std::string error_output() { return proc_.readAllStandardError().toStdString(); }
    std::string all() {
        read();
        std::string out;
        for (const std::string& l : lines_) out += l + "\n";
        return out;
    }

  private:
    void read() {
        partial_ += proc_.readAllStandardOutput().toStdString();
        size_t nl;
        while ((nl = partial_.find('\n')) != std::string::npos) {
            lines_.push_back(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
    }
    QProcess proc_;
    std::vector<std::string> lines_;
    std::string partial_;
    size_t checked_ = 0;
};

}  // namespace quarvo_test
