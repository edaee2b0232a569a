// The operating-system calls of the library, each behind one portable function: giving freed
// memory back, naming a thread, the backlog's spill file, stack traces and demangling.
// platform.cpp has a branch per system (Linux, Windows, macOS) and a plain fallback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quarvo_zovovi::ide::gui::detail::platform {

// Gives the heap's freed pages back to the system where the allocator keeps them (glibc,
// macOS's zones); elsewhere nothing.
void return_free_memory();

// Names the calling thread for debuggers and profilers (at most 15 characters count).
void name_this_thread(const char* name);

// The folder for temporary files: $TMPDIR (or the system's temporary folder), else /tmp.
std::string temp_dir();

// A temporary file that only this user can open and that is gone once it is closed (or the
// process ends): unlinked at once on POSIX systems (O_TMPFILE where the kernel has it),
// delete-on-close on Windows. Reads and writes at explicit offsets. One thread at a time.
class SpillFile {
  public:
    SpillFile() = default;
    ~SpillFile() { close(); }
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    // Creates the file in `dir`; false (with errno_text() saying why) when it cannot.
    bool open(const std::string& dir);
    bool is_open() const { return handle_ != invalid; }
    // All `size` bytes at `offset`, across short transfers; false on failure.
    bool write_at(const char* data, std::size_t size, uint64_t offset);
    bool read_at(char* data, std::size_t size, uint64_t offset);
    // Cuts the file to nothing, giving its disk space back.
    bool truncate();
    void close();
    // The last failure's reason, in the system's words.
    static std::string last_error();

  private:
    static constexpr std::intptr_t invalid = -1;
    std::intptr_t handle_ = invalid;  // a file descriptor, or a Windows HANDLE
};

// The real that the text [first, last) names, correctly rounded and whatever the process's
// locale: std::from_chars where the standard library has it for reals, else the C library's
// strtod in the "C" locale. False when the text is not one whole number or its value is out
// of range (the caller keeps its own reading then).
bool read_double(const char* first, const char* last, double& out);

// The calling thread's stack below this function, one frame per line after a heading; the
// frames are names where the system can tell them, addresses otherwise.
std::string stack_trace();

// A C++ type's readable name from its typeid name; the name itself where the compiler's
// runtime cannot demangle.
std::string demangle(const char* name);

}  // namespace quarvo_zovovi::ide::gui::detail::platform
