// The operating-system calls, one branch per system: Linux (glibc), other POSIX systems
// (macOS first), Windows, and a plain fallback that does without.
#include <quarvo_zovovi/ide/gui/core/platform.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__APPLE__)
#include <malloc/malloc.h>
#endif
#if defined(__GLIBC__) || defined(__APPLE__)
#include <execinfo.h>
#define QUARVO_HAVE_BACKTRACE 1
#endif
#endif

#if defined(__GNUG__)
#include <cxxabi.h>
#endif

// libc++ before 17 lacks std::from_chars for reals: strtod with a "C" locale instead.
#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 170000  // 14000 in 14, 160000 in 16
#define QUARVO_STRTOD_READS_REALS 1
#include <locale.h>
#if defined(__APPLE__)
#include <xlocale.h>
#endif
#endif

namespace quarvo_zovovi::ide::gui::detail::platform {

void return_free_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#elif defined(__APPLE__)
    malloc_zone_pressure_relief(nullptr, 0);
#endif
    // Windows' heap and the others decommit on their own.
}

void name_this_thread(const char* name) {
#if defined(_WIN32)
    // SetThreadDescription exists from Windows 10 1607 on: looked up, not linked against.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto set = kernel ? reinterpret_cast<SetDescription>(
                            reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")))
                      : nullptr;
    if (!set) return;
    wchar_t wide[64] = {};
    for (std::size_t i = 0; name[i] && i + 1 < std::size(wide); ++i)
        wide[i] = static_cast<unsigned char>(name[i]);
    set(GetCurrentThread(), wide);
#elif defined(__APPLE__)
    pthread_setname_np(name);
#elif defined(__GLIBC__)
    char cut[16] = {};
    std::strncpy(cut, name, sizeof cut - 1);  // Linux takes 15 characters at most
    pthread_setname_np(pthread_self(), cut);
#else
    (void)name;
#endif
}

std::string temp_dir() {
#if defined(_WIN32)
    wchar_t path[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, path);
    if (n > 0 && n <= MAX_PATH) {
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, path, int(n), nullptr, 0, nullptr, nullptr);
        std::string out(std::size_t(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, path, int(n), out.data(), size, nullptr, nullptr);
        return out;
    }
#endif
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

#if defined(_WIN32)

namespace {
HANDLE as_handle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

std::wstring widen(const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

// One transfer at `offset` through an OVERLAPPED position on a synchronous handle.
template <class Call>
bool transfer_all(HANDLE h, char* data, std::size_t size, uint64_t offset, Call call) {
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = DWORD(offset & 0xffffffffu);
        at.OffsetHigh = DWORD(offset >> 32);
        const DWORD piece = DWORD(std::min<std::size_t>(size, std::size_t{1} << 30));
        DWORD done = 0;
        if (!call(h, data, piece, &done, &at) || done == 0) return false;
        data += done;
        size -= done;
        offset += done;
    }
    return true;
}
}  // namespace

bool SpillFile::open(const std::string& dir) {
    close();
    wchar_t name[MAX_PATH + 1];
    if (!GetTempFileNameW(widen(dir).c_str(), L"qvb", 0, name)) return false;
    // Made by GetTempFileName; reopened for this process alone, deleted when closed.
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DeleteFileW(name);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    return true;
}

bool SpillFile::write_at(const char* data, std::size_t size, uint64_t offset) {
    return transfer_all(as_handle(handle_), const_cast<char*>(data), size, offset,
                        [](HANDLE h, char* p, DWORD n, DWORD* done, OVERLAPPED* at) {
                            return WriteFile(h, p, n, done, at) != 0;
                        });
}

bool SpillFile::read_at(char* data, std::size_t size, uint64_t offset) {
    return transfer_all(as_handle(handle_), data, size, offset,
                        [](HANDLE h, char* p, DWORD n, DWORD* done, OVERLAPPED* at) {
                            return ReadFile(h, p, n, done, at) != 0;
                        });
}

bool SpillFile::truncate() {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(as_handle(handle_), zero, nullptr, FILE_BEGIN) &&
           SetEndOfFile(as_handle(handle_));
}

void SpillFile::close() {
    if (handle_ != invalid) CloseHandle(as_handle(handle_));
    handle_ = invalid;
}

std::string SpillFile::last_error() {
    return "Windows error " + std::to_string(GetLastError());
}

#elif defined(__unix__) || defined(__APPLE__)

namespace {
// All `size` bytes through pread or pwrite at `offset`, across short transfers and interruptions.
template <class Buffer, class Transfer>
bool transfer_all(Transfer transfer, int fd, Buffer* data, std::size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t n = transfer(fd, data, size, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
        offset += uint64_t(n);
    }
    return true;
}
}  // namespace

bool SpillFile::open(const std::string& dir) {
    close();
    int fd = -1;
#if defined(O_TMPFILE)
    // Unlinked from the start: readable by this process only, gone when it ends.
    fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd < 0) {
        // mkstemp makes the file 0600; unlinked at once, it lives only through this descriptor.
        std::string name = dir + "/quarvo-backlog-XXXXXX";
        fd = ::mkstemp(name.data());
        if (fd >= 0) {
            ::unlink(name.c_str());
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    handle_ = fd;
    return fd >= 0;
}

bool SpillFile::write_at(const char* data, std::size_t size, uint64_t offset) {
    return transfer_all(::pwrite, int(handle_), data, size, offset);
}

bool SpillFile::read_at(char* data, std::size_t size, uint64_t offset) {
    return transfer_all(::pread, int(handle_), data, size, offset);
}

bool SpillFile::truncate() {
    return ::ftruncate(int(handle_), 0) == 0;
}

void SpillFile::close() {
    if (handle_ != invalid) ::close(int(handle_));
    handle_ = invalid;
}

std::string SpillFile::last_error() {
    return std::strerror(errno);
}

#else

// No file system calls known here: the backlog keeps to its memory.
bool SpillFile::open(const std::string&) {
    return false;
}
bool SpillFile::write_at(const char*, std::size_t, uint64_t) {
    return false;
}
bool SpillFile::read_at(char*, std::size_t, uint64_t) {
    return false;
}
bool SpillFile::truncate() {
    return false;
}
void SpillFile::close() {}
std::string SpillFile::last_error() {
    return "no spill file on this system";
}

#endif

bool read_double(const char* first, const char* last, double& out) {
#if defined(QUARVO_STRTOD_READS_REALS)
    // strtod needs a terminated text, and a locale whose decimal point is '.'.
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t(0));
    const std::string text(first, last);
    char* end = nullptr;
    errno = 0;
    const double value = strtod_l(text.c_str(), &end, c_locale);
    // Out of range: infinity or zero (strtod also flags a subnormal, which it reads right).
    if (end != text.c_str() + text.size() || (errno == ERANGE && (value == 0 || std::isinf(value))))
        return false;
    out = value;
    return true;
#else
    const auto [end, ec] = std::from_chars(first, last, out);
    return ec == std::errc() && end == last;
#endif
}

std::string stack_trace() {
    std::string out = "Stack (most recent call first):";
#if defined(QUARVO_HAVE_BACKTRACE)
    void* frames[64];
    const int n = backtrace(frames, 64);
    std::unique_ptr<char*, decltype(&std::free)> symbols(backtrace_symbols(frames, n), &std::free);
    // Frame 0 is this function itself.
    for (int i = 1; i < n; ++i) {
        out += "\n  ";
        out += symbols ? symbols.get()[i] : "?";
    }
#elif defined(_WIN32)
    void* frames[64];
    const USHORT n = CaptureStackBackTrace(1, 64, frames, nullptr);
    char line[32];
    for (USHORT i = 0; i < n; ++i) {
        std::snprintf(line, sizeof line, "\n  %p", frames[i]);
        out += line;
    }
#else
    out += "\n  (not available on this system)";
#endif
    return out;
}

std::string demangle(const char* name) {
#if defined(__GNUG__)
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> out(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
    if (status == 0 && out) return out.get();
#endif
    return name;
}

}  // namespace quarvo_zovovi::ide::gui::detail::platform
