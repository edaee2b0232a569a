// Backlog: frames kept as text, in arrival order, while the GUI thread is stuck and the
// client reads on to keep the connection alive. The oldest frames sit in memory; past the
// memory limit the newer ones go to an unlinked temporary file and come back in order. No
// frame is ever dropped here: the caller stops pushing at the limit (at_limit()).
// Network thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include <quarvo_zovovi/ide/gui/core/platform.h>

namespace quarvo_zovovi::ide::gui::detail {

class Backlog {
  public:
    // spill_dir: folder of the spill file; empty: $TMPDIR or /tmp; "-": no file, so the
    // memory limit is the whole limit.
    Backlog(std::size_t memory_limit, std::size_t total_limit, std::string spill_dir);
    ~Backlog();
    Backlog(const Backlog&) = delete;
    Backlog& operator=(const Backlog&) = delete;

    void push(std::string_view frame);
    // The oldest frame into `out` (its buffer reused); false when empty. Throws when the spill
    // file cannot be read back; the frames it held are then gone and no longer counted.
    bool pop(std::string& out);

    bool empty() const { return frames_ == 0; }
    std::size_t frames() const { return frames_; }
    std::size_t bytes() const { return memory_bytes_ + file_bytes(); }
    std::size_t memory_bytes() const { return memory_bytes_; }
    std::size_t file_bytes() const { return std::size_t(write_at_ - read_at_); }
    // Whether the backlog holds all it may (fraction 1), or that fraction of it: the total
    // limit, or the memory limit when no file can take more.
    bool at_limit(double fraction = 1.0) const;
    // Frames pushed and popped since construction: positions in the stream of frames.
    uint64_t pushed() const { return pushed_; }
    uint64_t popped() const { return popped_; }

  private:
    // Frames, each a 4-byte length and its bytes, back to back.
    struct Chunk {
        std::vector<char> bytes;
        std::size_t read = 0;
    };
    static void append(Chunk& chunk, std::string_view frame);
    bool spilling() const { return write_at_ > read_at_ || !tail_.bytes.empty(); }
    bool open_file();
    bool flush_tail();
    void refill_from_file();

    const std::size_t memory_limit_;
    const std::size_t total_limit_;
    const std::string spill_dir_;
    // In order: head_ (memory), the file's [read_at_, write_at_), tail_ (memory, not yet
    // written to the file).
    std::deque<Chunk> head_;
    Chunk tail_;
    platform::SpillFile file_;
    bool file_failed_ = false;
    uint64_t read_at_ = 0, write_at_ = 0;
    std::size_t memory_bytes_ = 0;
    std::size_t frames_ = 0;
    std::size_t tail_frames_ = 0, file_frames_ = 0;
    uint64_t pushed_ = 0, popped_ = 0;
};

}  // namespace quarvo_zovovi::ide::gui::detail
