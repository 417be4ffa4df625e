// The C library's stream (stdio) output and its asynchronous I/O (aio), interposed for watched
// ports. Both reach the port through the library's internal write and read, which no preload
// can interpose, so a watched port's bytes would pass unseen.
//
// A stream that writes to a watched port is written through: each output call first sends what
// the stream still holds (bytes that inline macros put in its buffer), then its own bytes,
// through the attachment's write path, so they are recorded or filtered as the program's own
// write() calls are. The stream then holds nothing between calls (as an unbuffered one); the
// return values, errno and error flag are the stream's own. Wide-oriented streams, streams that
// cannot write and every stream on anything but a watched port go to the library unchanged.
//
// An aio request on a watched port runs in the library's threads: its bytes are reported when
// the program collects its result (aio_return), written ones as a record (or counted as sent
// unfiltered while rules run, as they went out as they were), read ones through the receive
// rules.
//
// What stays out of sight, a stream's reads (the library fills its buffer inside) and aio
// requests whose result is never collected, is counted and told to the host as unseen, so that
// whoever watches learns of it instead of missing it silently.
#include <aio.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdio_ext.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "driver/attach/port_calls.h"
#include "driver/attach/port_registry.h"

#define SIEVRA_EXPORT extern "C" __attribute__((visibility("default")))

// glibc's list of open streams, which exit flushes after the program's exit handlers.
extern "C" FILE* _IO_list_all;
extern "C" void _IO_list_lock();
extern "C" void _IO_list_unlock();
extern "C" int __vsnprintf_chk(char*, size_t, int, size_t, const char*, va_list);

namespace sievra::attach {
using namespace sievra::link;  // the attachment speaks to the host through the link
namespace {

constexpr int kStreamError = 0x20;  // _IO_ERR_SEEN: what ferror reports
constexpr int kNoWrites = 0x8;      // _IO_NO_WRITES: a stream opened for reading only

struct StreamCalls {
    size_t (*fwrite)(const void*, size_t, size_t, FILE*);
    size_t (*fwrite_unlocked)(const void*, size_t, size_t, FILE*);
    int (*fputs)(const char*, FILE*);
    int (*fputs_unlocked)(const char*, FILE*);
    int (*puts)(const char*);
    int (*fputc)(int, FILE*);
    int (*putc)(int, FILE*);
    int (*io_putc)(int, FILE*);
    int (*fputc_unlocked)(int, FILE*);
    int (*putc_unlocked)(int, FILE*);
    int (*putchar)(int);
    int (*putchar_unlocked)(int);
    int (*vfprintf)(FILE*, const char*, va_list);
    int (*vfprintf_chk)(FILE*, int, const char*, va_list);
    int (*vdprintf)(int, const char*, va_list);
    int (*vdprintf_chk)(int, int, const char*, va_list);
    int (*overflow)(FILE*, int);
    int (*fflush)(FILE*);
    int (*fflush_unlocked)(FILE*);
    int (*fclose)(FILE*);
    FILE* (*freopen)(const char*, const char*, FILE*);
    FILE* (*freopen64)(const char*, const char*, FILE*);
    int (*aio_read)(aiocb*);
    int (*aio_write)(aiocb*);
    int (*lio_listio)(int, aiocb* const[], int, sigevent*);
    ssize_t (*aio_return)(aiocb*);
};

template <class F>
void Resolve(F& slot, const char* name) {
    slot = reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

// Resolved once, on first use (stdio may be used from other libraries' constructors).
const StreamCalls& Lib() {
    static const StreamCalls calls = [] {
        StreamCalls c{};
        Resolve(c.fwrite, "fwrite");
        Resolve(c.fwrite_unlocked, "fwrite_unlocked");
        Resolve(c.fputs, "fputs");
        Resolve(c.fputs_unlocked, "fputs_unlocked");
        Resolve(c.puts, "puts");
        Resolve(c.fputc, "fputc");
        Resolve(c.putc, "putc");
        Resolve(c.io_putc, "_IO_putc");
        Resolve(c.fputc_unlocked, "fputc_unlocked");
        Resolve(c.putc_unlocked, "putc_unlocked");
        Resolve(c.putchar, "putchar");
        Resolve(c.putchar_unlocked, "putchar_unlocked");
        Resolve(c.vfprintf, "vfprintf");
        Resolve(c.vfprintf_chk, "__vfprintf_chk");
        Resolve(c.vdprintf, "vdprintf");
        Resolve(c.vdprintf_chk, "__vdprintf_chk");
        Resolve(c.overflow, "__overflow");
        Resolve(c.fflush, "fflush");
        Resolve(c.fflush_unlocked, "fflush_unlocked");
        Resolve(c.fclose, "fclose");
        Resolve(c.freopen, "freopen");
        Resolve(c.freopen64, "freopen64");
        Resolve(c.aio_read, "aio_read");
        Resolve(c.aio_write, "aio_write");
        Resolve(c.lio_listio, "lio_listio");
        Resolve(c.aio_return, "aio_return");
        return c;
    }();
    return calls;
}

// The descriptor of fp when it is a watched port, else -1.
int WatchedFd(FILE* fp) {
    if (fp == nullptr || !Registry().enabled())
        return -1;
    const int fd = fp->_fileno;
    return fd >= 0 && IsWatchedPort(fd) ? fd : -1;
}

// The port descriptor fp writes to when it is a watched port and the stream takes bytes; -1
// when the library should handle the call.
int PortOf(FILE* fp) {
    if (fp == nullptr || (fp->_flags & kNoWrites) != 0)
        return -1;
    const int fd = WatchedFd(fp);
    if (fd < 0)
        return -1;
    return ::fwide(fp, 0) > 0 ? -1 : fd;  // a wide stream's buffer holds wide characters
}

// A stream on a watched port that read: the library read into its buffer inside, unseen. Counted
// once, as it goes (closed, or at exit), with the bytes its buffer holds from the last read.
void CountStreamReads(FILE* fp) {
    const int fd = WatchedFd(fp);
    if (fd >= 0 && fp->_IO_read_base != nullptr && fp->_IO_read_end > fp->_IO_read_base)
        CountUnseen(fd, 1, static_cast<size_t>(fp->_IO_read_end - fp->_IO_read_base));
}

// Holds a stream's lock for a call that takes it (not for the _unlocked ones).
class StreamLock {
  public:
    StreamLock(FILE* fp, bool take) : fp_(take ? fp : nullptr) {
        if (fp_ != nullptr)
            ::flockfile(fp_);
    }
    ~StreamLock() {
        if (fp_ != nullptr)
            ::funlockfile(fp_);
    }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;

  private:
    FILE* fp_;
};

// Sends what fp holds and then n bytes of data to the port fd, with fp locked. True when
// everything went; else the stream's error flag is set and errno says why.
bool WriteThrough(FILE* fp, int fd, const void* data, size_t n) {
    ::fwide(fp, -1);  // a stream's first output makes it byte-oriented
    const size_t held = ::__fpending(fp);
    if (held > 0) {
        const ssize_t w = WriteToPort(fd, fp->_IO_write_base, held);
        if (w != static_cast<ssize_t>(held)) {
            fp->_flags |= kStreamError;
            return false;
        }
        ::__fpurge(fp);  // went: the stream no longer holds them
    }
    if (n == 0)
        return true;
    if (WriteToPort(fd, data, n) != static_cast<ssize_t>(n)) {
        fp->_flags |= kStreamError;
        return false;
    }
    return true;
}

// A text formatted into a buffer: on the stack when it fits, else on the heap.
class Formatted {
  public:
    // fortify: the level of a _chk call (its %n rules apply), or -1 for the plain call.
    Formatted(int fortify, const char* format, va_list args) {
        va_list again;
        va_copy(again, args);
        length_ = Print(fortify, local_, sizeof local_, format, args);
        if (length_ >= 0 && static_cast<size_t>(length_) >= sizeof local_) {
            heap_ = static_cast<char*>(std::malloc(static_cast<size_t>(length_) + 1));
            if (heap_ == nullptr) {
                errno = ENOMEM;
                length_ = -1;
            } else {
                Print(fortify, heap_, static_cast<size_t>(length_) + 1, format, again);
            }
        }
        va_end(again);
    }
    ~Formatted() { std::free(heap_); }
    Formatted(const Formatted&) = delete;
    Formatted& operator=(const Formatted&) = delete;

    int length() const { return length_; }  // -1 when the format failed (errno set)
    const char* data() const { return heap_ != nullptr ? heap_ : local_; }

  private:
    static int Print(int fortify, char* out, size_t size, const char* format, va_list args) {
        return fortify < 0 ? std::vsnprintf(out, size, format, args)
                           : ::__vsnprintf_chk(out, size, fortify, size, format, args);
    }
    char local_[1024];
    char* heap_ = nullptr;
    int length_ = -1;
};

int PrintTo(FILE* fp, int fortify, const char* format, va_list args) {
    const int fd = PortOf(fp);
    if (fd < 0) {
        return fortify < 0 ? Lib().vfprintf(fp, format, args)
                           : Lib().vfprintf_chk(fp, fortify, format, args);
    }
    const StreamLock lock(fp, true);
    const Formatted text(fortify, format, args);
    if (text.length() < 0) {
        fp->_flags |= kStreamError;
        return -1;
    }
    return WriteThrough(fp, fd, text.data(), static_cast<size_t>(text.length())) ? text.length()
                                                                                 : -1;
}

int PrintToDescriptor(int fd, int fortify, const char* format, va_list args) {
    if (!Registry().enabled() || !IsWatchedPort(fd)) {
        return fortify < 0 ? Lib().vdprintf(fd, format, args)
                           : Lib().vdprintf_chk(fd, fortify, format, args);
    }
    const Formatted text(fortify, format, args);
    if (text.length() < 0)
        return -1;
    return WriteToPort(fd, text.data(), static_cast<size_t>(text.length())) == text.length()
               ? text.length()
               : -1;
}

size_t WriteItems(const void* data, size_t size, size_t count, FILE* fp, bool lock,
                  size_t (*library)(const void*, size_t, size_t, FILE*)) {
    const int fd = PortOf(fp);
    if (fd < 0 || size == 0 || count == 0 || count > SIZE_MAX / size)
        return library(data, size, count, fp);
    const StreamLock held(fp, lock);
    return WriteThrough(fp, fd, data, size * count) ? count : 0;
}

int PutString(const char* text, FILE* fp, bool lock, int (*library)(const char*, FILE*)) {
    const int fd = PortOf(fp);
    if (fd < 0)
        return library(text, fp);
    const StreamLock held(fp, lock);
    return WriteThrough(fp, fd, text, std::strlen(text)) ? 1 : EOF;
}

int PutChar(int c, FILE* fp, bool lock, int (*library)(int, FILE*)) {
    const int fd = PortOf(fp);
    if (fd < 0)
        return library(c, fp);
    const StreamLock held(fp, lock);
    const auto byte = static_cast<unsigned char>(c);
    return WriteThrough(fp, fd, &byte, 1) ? byte : EOF;
}

// Sends what fp holds; 0, or EOF when it could not go. kNotWatched when fp is not a watched
// port's.
constexpr int kNotWatched = 1;
int FlushWatched(FILE* fp, bool lock) {
    const int fd = PortOf(fp);
    if (fd < 0)
        return kNotWatched;
    const StreamLock held(fp, lock);
    return WriteThrough(fp, fd, nullptr, 0) ? 0 : EOF;
}

// Every stream of the process: what the watched ports' streams hold is sent, the rest is left
// to the library. The list's lock keeps streams from being closed meanwhile.
void FlushAllWatched() {
    _IO_list_lock();
    for (FILE* fp = _IO_list_all; fp != nullptr; fp = fp->_chain)
        FlushWatched(fp, true);
    _IO_list_unlock();
}

// freopen: the library closes the stream's number and puts the new file there (or at another
// number) with its own internal calls, which no hook sees. What a watched stream holds goes to
// the port first, as the library would flush it; then the old number is forgotten and the new
// one decided, so the file is never taken for the port, and a port reopened is a new open.
FILE* Reopen(FILE* (*library)(const char*, const char*, FILE*), const char* path, const char* mode,
             FILE* fp) {
    if (fp == nullptr || !Registry().enabled())
        return library(path, mode, fp);
    FlushWatched(fp, true);
    CountStreamReads(fp);
    const int fd = fp->_fileno;
    const NumberChange change(Registry());
    FILE* r = library(path, mode, fp);
    if (Registry().InOwner()) {
        const int saved = errno;
        Registry().Forget(fd);
        if (r != nullptr)
            Registry().Opened(r->_fileno);
        errno = saved;
    }
    return r;
}

// The aio requests on watched ports that have not been collected yet: their control blocks
// and whether they write. A request that finds no free slot goes unreported.
class PendingRequests {
  public:
    void Add(const aiocb* request, bool writes) {
        for (Slot& s : slots_) {
            const aiocb* expected = nullptr;
            if (s.request.compare_exchange_strong(expected, request)) {
                s.writes.store(writes);
                return;
            }
        }
    }
    // Counts the requests never collected as unseen: their bytes may have gone either way.
    void CountLeft() {
        for (Slot& s : slots_) {
            const aiocb* request = s.request.exchange(nullptr);
            if (request != nullptr)
                CountUnseen(request->aio_fildes, 1, request->aio_nbytes);
        }
    }
    // Takes request's entry: 1 when it writes, 0 when it reads, -1 when it is not here.
    int Take(const aiocb* request) {
        for (Slot& s : slots_) {
            if (s.request.load() != request)
                continue;
            const bool writes = s.writes.load();
            const aiocb* expected = request;
            if (s.request.compare_exchange_strong(expected, nullptr))
                return writes ? 1 : 0;
        }
        return -1;
    }

  private:
    struct Slot {
        std::atomic<const aiocb*> request{nullptr};
        std::atomic<bool> writes{false};
    };
    Slot slots_[256];
};

PendingRequests g_pending;

void NoteRequest(const aiocb* request, bool writes) {
    if (request != nullptr && Registry().enabled() && IsWatchedPort(request->aio_fildes))
        g_pending.Add(request, writes);
}

}  // namespace

void FlushStreamsAtExit() {
    _IO_list_lock();
    for (FILE* fp = _IO_list_all; fp != nullptr; fp = fp->_chain) {
        FlushWatched(fp, true);
        CountStreamReads(fp);
    }
    _IO_list_unlock();
    g_pending.CountLeft();
}

}  // namespace sievra::attach

using namespace sievra::attach;

// --- streams -----------------------------------------------------------------------------

SIEVRA_EXPORT size_t fwrite(const void* data, size_t size, size_t count, FILE* fp) {
    return WriteItems(data, size, count, fp, true, Lib().fwrite);
}
SIEVRA_EXPORT size_t fwrite_unlocked(const void* data, size_t size, size_t count, FILE* fp) {
    return WriteItems(data, size, count, fp, false, Lib().fwrite_unlocked);
}
SIEVRA_EXPORT int fputs(const char* text, FILE* fp) {
    return PutString(text, fp, true, Lib().fputs);
}
SIEVRA_EXPORT int fputs_unlocked(const char* text, FILE* fp) {
    return PutString(text, fp, false, Lib().fputs_unlocked);
}
SIEVRA_EXPORT int puts(const char* text) {
    const int fd = PortOf(stdout);
    if (fd < 0)
        return Lib().puts(text);
    const StreamLock held(stdout, true);
    const size_t length = std::strlen(text);
    // The line and its end as one write, as the library's buffer would send them.
    char line[1024];
    if (length < sizeof line) {
        std::memcpy(line, text, length);
        line[length] = '\n';
        if (!WriteThrough(stdout, fd, line, length + 1))
            return EOF;
    } else if (!WriteThrough(stdout, fd, text, length) || !WriteThrough(stdout, fd, "\n", 1)) {
        return EOF;
    }
    return length < INT_MAX ? static_cast<int>(length) + 1 : INT_MAX;
}
SIEVRA_EXPORT int fputc(int c, FILE* fp) {
    return PutChar(c, fp, true, Lib().fputc);
}
SIEVRA_EXPORT int putc(int c, FILE* fp) {
    return PutChar(c, fp, true, Lib().putc);
}
SIEVRA_EXPORT int _IO_putc(int c, FILE* fp) {
    return PutChar(c, fp, true, Lib().io_putc);
}
SIEVRA_EXPORT int fputc_unlocked(int c, FILE* fp) {
    return PutChar(c, fp, false, Lib().fputc_unlocked);
}
SIEVRA_EXPORT int putc_unlocked(int c, FILE* fp) {
    return PutChar(c, fp, false, Lib().putc_unlocked);
}
SIEVRA_EXPORT int putchar(int c) {
    return PortOf(stdout) < 0 ? Lib().putchar(c) : PutChar(c, stdout, true, Lib().putc);
}
SIEVRA_EXPORT int putchar_unlocked(int c) {
    return PortOf(stdout) < 0 ? Lib().putchar_unlocked(c)
                              : PutChar(c, stdout, false, Lib().putc_unlocked);
}
// Called by the inline putc macros when the buffer is full or a line ends.
SIEVRA_EXPORT int __overflow(FILE* fp, int c) {
    const int fd = PortOf(fp);
    if (fd < 0)
        return Lib().overflow(fp, c);
    if (c == EOF)
        return WriteThrough(fp, fd, nullptr, 0) ? 0 : EOF;
    const auto byte = static_cast<unsigned char>(c);
    return WriteThrough(fp, fd, &byte, 1) ? byte : EOF;
}
SIEVRA_EXPORT int vfprintf(FILE* fp, const char* format, va_list args) {
    return PrintTo(fp, -1, format, args);
}
SIEVRA_EXPORT int vprintf(const char* format, va_list args) {
    return PrintTo(stdout, -1, format, args);
}
SIEVRA_EXPORT int fprintf(FILE* fp, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int r = PrintTo(fp, -1, format, args);
    va_end(args);
    return r;
}
SIEVRA_EXPORT int printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int r = PrintTo(stdout, -1, format, args);
    va_end(args);
    return r;
}
SIEVRA_EXPORT int __vfprintf_chk(FILE* fp, int flag, const char* format, va_list args) {
    return PrintTo(fp, flag, format, args);
}
SIEVRA_EXPORT int __vprintf_chk(int flag, const char* format, va_list args) {
    return PrintTo(stdout, flag, format, args);
}
SIEVRA_EXPORT int __fprintf_chk(FILE* fp, int flag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int r = PrintTo(fp, flag, format, args);
    va_end(args);
    return r;
}
SIEVRA_EXPORT int __printf_chk(int flag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int r = PrintTo(stdout, flag, format, args);
    va_end(args);
    return r;
}
SIEVRA_EXPORT int vdprintf(int fd, const char* format, va_list args) {
    return PrintToDescriptor(fd, -1, format, args);
}
SIEVRA_EXPORT int dprintf(int fd, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int r = PrintToDescriptor(fd, -1, format, args);
    va_end(args);
    return r;
}
SIEVRA_EXPORT int __vdprintf_chk(int fd, int flag, const char* format, va_list args) {
    return PrintToDescriptor(fd, flag, format, args);
}
SIEVRA_EXPORT int __dprintf_chk(int fd, int flag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int r = PrintToDescriptor(fd, flag, format, args);
    va_end(args);
    return r;
}
SIEVRA_EXPORT int fflush(FILE* fp) {
    if (fp == nullptr) {
        if (Registry().enabled())
            FlushAllWatched();
        return Lib().fflush(nullptr);
    }
    const int r = FlushWatched(fp, true);
    return r != kNotWatched ? r : Lib().fflush(fp);
}
SIEVRA_EXPORT int fflush_unlocked(FILE* fp) {
    if (fp == nullptr)
        return fflush(nullptr);
    const int r = FlushWatched(fp, false);
    return r != kNotWatched ? r : Lib().fflush_unlocked(fp);
}
SIEVRA_EXPORT int fclose(FILE* fp) {
    // What the stream holds goes first; a failure is the close's, as the library's own flush's.
    const int flushed = FlushWatched(fp, true);
    CountStreamReads(fp);
    const int fd = fp != nullptr ? fp->_fileno : -1;
    const NumberChange change(Registry());
    const int r = Lib().fclose(fp);
    // The library closed the descriptor itself: forgotten as the program's close() is, watched
    // or not (a port's open ends now, not when the number is next used).
    if (fd >= 0 && Registry().InOwner()) {
        const int saved = errno;
        Registry().Forget(fd);
        errno = saved;
    }
    return flushed == EOF ? EOF : r;
}
SIEVRA_EXPORT FILE* freopen(const char* path, const char* mode, FILE* fp) {
    return Reopen(Lib().freopen, path, mode, fp);
}
SIEVRA_EXPORT FILE* freopen64(const char* path, const char* mode, FILE* fp) {
    return Reopen(Lib().freopen64, path, mode, fp);
}

// --- asynchronous I/O --------------------------------------------------------------------

SIEVRA_EXPORT int aio_write(aiocb* request) {
    NoteRequest(request, true);
    const int r = Lib().aio_write(request);
    if (r != 0)
        g_pending.Take(request);
    return r;
}
SIEVRA_EXPORT int aio_read(aiocb* request) {
    NoteRequest(request, false);
    const int r = Lib().aio_read(request);
    if (r != 0)
        g_pending.Take(request);
    return r;
}
SIEVRA_EXPORT int lio_listio(int mode, aiocb* const list[], int count, sigevent* event) {
    for (int i = 0; i < count; ++i) {
        if (list[i] != nullptr && list[i]->aio_lio_opcode != LIO_NOP)
            NoteRequest(list[i], list[i]->aio_lio_opcode == LIO_WRITE);
    }
    return Lib().lio_listio(mode, list, count, event);
}
SIEVRA_EXPORT ssize_t aio_return(aiocb* request) {
    const ssize_t r = Lib().aio_return(request);
    const int writes = g_pending.Take(request);
    if (writes < 0 || r <= 0)
        return r;
    void* data = const_cast<void*>(request->aio_buf);
    if (writes == 1) {
        WrittenAside(request->aio_fildes, data, static_cast<size_t>(r));
        return r;
    }
    return ReadAside(request->aio_fildes, data, static_cast<size_t>(r));
}
// The 64-bit offset names are the same calls on this platform.
static_assert(sizeof(aiocb) == sizeof(aiocb64));
SIEVRA_EXPORT int aio_write64(aiocb64* request) {
    return aio_write(reinterpret_cast<aiocb*>(request));
}
SIEVRA_EXPORT int aio_read64(aiocb64* request) {
    return aio_read(reinterpret_cast<aiocb*>(request));
}
SIEVRA_EXPORT int lio_listio64(int mode, aiocb64* const list[], int count, sigevent* event) {
    return lio_listio(mode, reinterpret_cast<aiocb* const*>(list), count, event);
}
SIEVRA_EXPORT ssize_t aio_return64(aiocb64* request) {
    return aio_return(reinterpret_cast<aiocb*>(request));
}
