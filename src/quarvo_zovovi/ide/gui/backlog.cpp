// The backlog of frames held as text, with its spill file.
#include <quarvo_zovovi/ide/gui/backlog.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

// All `size` bytes through pread or pwrite at `at`, across short transfers and interruptions.
template <class Buffer, class Transfer>
bool transfer_all(Transfer transfer, int fd, Buffer* data, std::size_t size, uint64_t at) {
    while (size > 0) {
        const ssize_t n = transfer(fd, data, size, off_t(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
        at += uint64_t(n);
    }
    return true;
}

bool write_all(int fd, const char* data, std::size_t size, uint64_t at) {
    return transfer_all(::pwrite, fd, data, size, at);
}

bool read_all(int fd, char* data, std::size_t size, uint64_t at) {
    return transfer_all(::pread, fd, data, size, at);
}

}  // namespace

Backlog::Backlog(std::size_t memory_limit, std::size_t total_limit, std::string spill_dir)
    : memory_limit_(memory_limit),
      total_limit_(std::max(total_limit, memory_limit)),
      spill_dir_(std::move(spill_dir)),
      file_failed_(spill_dir_ == "-") {}

Backlog::~Backlog() {
    if (fd_ >= 0) ::close(fd_);
}

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
    if (!fits && !file_failed_ && fd_ < 0 && !open_file()) file_failed_ = true;
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
    std::string dir = spill_dir_;
    if (dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        dir = tmp && *tmp ? tmp : "/tmp";
    }
    // Unlinked from the start: readable by this process only, gone when it ends.
    fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        std::string name = dir + "/quarvo-backlog-XXXXXX";
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ >= 0) ::unlink(name.c_str());
    }
    return fd_ >= 0;
}

bool Backlog::flush_tail() {
    if ((fd_ < 0 && !open_file()) ||
        !write_all(fd_, tail_.bytes.data(), tail_.bytes.size(), write_at_)) {
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
    bool ok = read_all(fd_, length, length_size, read_at_);
    if (ok) {
        const std::size_t first = length_size + length_at(length);
        chunk.bytes.resize(std::size_t(std::min<uint64_t>(left, std::max(file_block, first))));
        ok = read_all(fd_, chunk.bytes.data(), chunk.bytes.size(), read_at_);
    }
    if (!ok) {
        // The file lost what it held: those frames cannot be handled.
        const std::size_t lost = file_frames_;
        frames_ -= lost;
        popped_ += lost;
        file_frames_ = 0;
        read_at_ = write_at_;
        file_failed_ = true;
        throw std::runtime_error("backlog file unreadable: " + std::string(std::strerror(errno)) +
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
        if (::ftruncate(fd_, 0) != 0) file_failed_ = true;
    }
}

}  // namespace quarvo_zovovi::ide::gui::detail
