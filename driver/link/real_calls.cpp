#include "driver/link/real_calls.h"

#include <dlfcn.h>
#include <gnu/lib-names.h>

#include <atomic>

namespace sievra::link {
namespace {

RealCalls g_real{};
std::atomic<bool> g_resolved{false};

template <class F>
void Resolve(F& slot, const char* name) {
    slot = reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

void ResolveRealCalls() {
    if (g_resolved.load(std::memory_order_acquire))
        return;
    RealCalls& r = g_real;
    Resolve(r.open, "open");
    Resolve(r.open64, "open64");
    Resolve(r.openat, "openat");
    Resolve(r.openat64, "openat64");
    Resolve(r.open_2, "__open_2");
    Resolve(r.open64_2, "__open64_2");
    Resolve(r.openat_2, "__openat_2");
    Resolve(r.openat64_2, "__openat64_2");
    Resolve(r.close, "close");
    Resolve(r.close_range, "close_range");
    Resolve(r.dup, "dup");
    Resolve(r.dup2, "dup2");
    Resolve(r.dup3, "dup3");
    Resolve(r.fcntl, "fcntl");
    Resolve(r.fcntl64, "fcntl64");
    Resolve(r.read, "read");
    Resolve(r.read_chk, "__read_chk");
    Resolve(r.readv, "readv");
    Resolve(r.pread64, "pread64");
    Resolve(r.write, "write");
    Resolve(r.writev, "writev");
    Resolve(r.pwrite64, "pwrite64");
    Resolve(r.ioctl, "ioctl");
    Resolve(r.tcgetattr, "tcgetattr");
    Resolve(r.tcsetattr, "tcsetattr");
    Resolve(r.tcflush, "tcflush");
    Resolve(r.tcdrain, "tcdrain");
    Resolve(r.tcsendbreak, "tcsendbreak");
    Resolve(r.tcflow, "tcflow");
    Resolve(r.execve, "execve");
    Resolve(r.execvpe, "execvpe");
    Resolve(r.fexecve, "fexecve");
    Resolve(r.login_tty, "login_tty");
    if (r.fcntl64 == nullptr)
        r.fcntl64 = r.fcntl;
    if (void* libc = ::dlopen(LIBC_SO, RTLD_LAZY | RTLD_NOLOAD); libc != nullptr) {
        r.clock_gettime =
            reinterpret_cast<decltype(r.clock_gettime)>(::dlsym(libc, "clock_gettime"));
        ::dlclose(libc);
    }
    if (r.clock_gettime == nullptr)
        r.clock_gettime = &::clock_gettime;
    g_resolved.store(true, std::memory_order_release);
}

const RealCalls& Real() {
    if (!g_resolved.load(std::memory_order_acquire))
        ResolveRealCalls();
    return g_real;
}

}  // namespace sievra::link
