// The backlog of frames held as text, with its spill file.
#include <quarvo_zovovi/ide/gui/core/backlog.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace quarvo_zovovi::ide::gui::detail {
namespace {

constexpr std::size_t chunk_size = std::size_t{256} << 10;
// The file is written in pieces of this size and read back in pieces of at least this size.
constexpr std::size_t file_block = std::size_t{1} << 20;
constexpr std::size_t length_size = sizeof(uint32_t);

uint32_t length_at(const char* p) {
    uint32_t n;
    std::memcpy(&n, p, sizeof n);
    return n;
}

}  // namespace

Backlog::Backlog(std::size_t memory_limit, std::size_t total_limit, std::string spill_dir)
    : memory_limit_(memory_limit),
      total_limit_(std::max(total_limit, memory_limit)),
      spill_dir_(std::move(spill_dir)),
      file_failed_(spill_dir_ == "-") {}

Backlog::~Backlog() = default;

void Backlog::append(Chunk& chunk, std::string_view frame) {
    const auto n = static_cast<uint32_t>(frame.size());
    const char* length = reinterpret_cast<const char*>(&n);
    chunk.bytes.insert(chunk.bytes.end(), length, length + length_size);
    chunk.bytes.insert(chunk.bytes.end(), frame.begin(), frame.end());
}

void Backlog::push(std::string_view frame) {
    const std::size_t need = length_size + frame.size();
    const bool fits = !spilling() && memory_bytes_ + need <= memory_limit_;
    // The file is made when the memory is first full, so a folder that cannot take it is
    // found out then, not a piece later.
    if (!fits && !file_failed_ && !file_.is_open() && !open_file()) file_failed_ = true;
    if (!spilling() && (fits || file_failed_)) {
        if (head_.empty() || head_.back().bytes.size() + need > head_.back().bytes.capacity()) {
            head_.emplace_back();
            head_.back().bytes.reserve(std::max(chunk_size, need));
        }
        append(head_.back(), frame);
    } else {
        // Behind everything older, in the file or in the tail that goes to it next.
        append(tail_, frame);
        ++tail_frames_;
        if (tail_.bytes.size() >= file_block && !file_failed_) flush_tail();
    }
    memory_bytes_ += need;
    ++frames_;
    ++pushed_;
}

bool Backlog::pop(std::string& out) {
    if (frames_ == 0) return false;
    if (head_.empty()) {
        if (write_at_ > read_at_) {
            refill_from_file();
        } else {
            head_.push_back(std::move(tail_));
            tail_ = Chunk{};
            tail_frames_ = 0;
        }
    }
    Chunk& chunk = head_.front();
    const uint32_t n = length_at(chunk.bytes.data() + chunk.read);
    out.assign(chunk.bytes.data() + chunk.read + length_size, n);
    chunk.read += length_size + n;
    memory_bytes_ -= length_size + n;
    if (chunk.read == chunk.bytes.size()) head_.pop_front();
    --frames_;
    ++popped_;
    return true;
}

bool Backlog::at_limit(double fraction) const {
    if (double(bytes()) >= double(total_limit_) * fraction) return true;
    return file_failed_ && double(memory_bytes_) >= double(memory_limit_) * fraction;
}

bool Backlog::open_file() {
    return file_.open(spill_dir_.empty() ? platform::temp_dir() : spill_dir_);
}

bool Backlog::flush_tail() {
    if ((!file_.is_open() && !open_file()) ||
        !file_.write_at(tail_.bytes.data(), tail_.bytes.size(), write_at_)) {
        // The tail stays in memory, in order; at_limit() now counts memory against its limit.
        file_failed_ = true;
        return false;
    }
    write_at_ += tail_.bytes.size();
    memory_bytes_ -= tail_.bytes.size();
    file_frames_ += tail_frames_;
    tail_frames_ = 0;
    tail_.bytes.clear();
    return true;
}

void Backlog::refill_from_file() {
    char length[length_size];
    const uint64_t left = write_at_ - read_at_;
    Chunk chunk;
    bool ok = file_.read_at(length, length_size, read_at_);
    if (ok) {
        const std::size_t first = length_size + length_at(length);
        chunk.bytes.resize(std::size_t(std::min<uint64_t>(left, std::max(file_block, first))));
        ok = file_.read_at(chunk.bytes.data(), chunk.bytes.size(), read_at_);
    }
    if (!ok) {
        // The file lost what it held: those frames cannot be handled.
        const std::size_t lost = file_frames_;
        frames_ -= lost;
        popped_ += lost;
        file_frames_ = 0;
        read_at_ = write_at_;
        file_failed_ = true;
        throw std::runtime_error("backlog file unreadable: " + platform::SpillFile::last_error() +
                                 "; " + std::to_string(lost) + " frames lost");
    }
    // Whole frames only; a frame cut at the end of the piece is read with the next one.
    std::size_t used = 0, count = 0;
    while (used + length_size <= chunk.bytes.size()) {
        const std::size_t size = length_size + length_at(chunk.bytes.data() + used);
        if (used + size > chunk.bytes.size()) break;
        used += size;
        ++count;
    }
    chunk.bytes.resize(used);
    read_at_ += used;
    file_frames_ -= count;
    memory_bytes_ += used;
    head_.push_back(std::move(chunk));
    if (read_at_ == write_at_) {
        // Drained: give the disk space back.
        read_at_ = write_at_ = 0;
        if (!file_.truncate()) file_failed_ = true;
    }
}

}  // namespace quarvo_zovovi::ide::gui::detail
