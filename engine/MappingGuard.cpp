#include "engine/MappingGuard.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tolvane {

namespace {

// One guarded mapping. A free slot has begin 0. The handler reads end, begin
// and end again, so a slot being reused for another mapping never gives it a
// range made of two mappings' bounds.
struct Slot {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
};
static_assert(std::atomic<uintptr_t>::is_always_lock_free);

constexpr size_t kSlots = 256; // open file streams in the process at one time
Slot gSlots[kSlots];
struct sigaction gPrevious {};
std::once_flag gInstallOnce;
bool gInstalled = false;
uintptr_t gPageMask = 0;

// Maps zero-filled pages over [address's page, end of its mapping). Called
// from the handler: only atomics and a raw system call (no interceptor of a
// sanitizer runs inside it).
bool replaceVanishedPages(uintptr_t address) {
    for (Slot& slot : gSlots) {
        const uintptr_t end = slot.end.load(std::memory_order_acquire);
        const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
        if (begin == 0 || end != slot.end.load(std::memory_order_acquire) || address < begin ||
            address >= end) {
            continue;
        }
        const uintptr_t page = address & gPageMask;
        const long mapped = syscall(SYS_mmap, page, end - page, PROT_READ,
                                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        return mapped == long(page);
    }
    return false;
}

// Hands a fault that is not ours to the handler installed before; with none,
// the default action is restored and the faulting read ends the process.
void forward(int signal, siginfo_t* info, void* context) {
    if ((gPrevious.sa_flags & SA_SIGINFO) && gPrevious.sa_sigaction) {
        gPrevious.sa_sigaction(signal, info, context);
        return;
    }
    if (gPrevious.sa_handler != SIG_DFL && gPrevious.sa_handler != SIG_IGN) {
        gPrevious.sa_handler(signal);
        return;
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGBUS, &fallback, nullptr);
}

void onBusError(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const bool repaired = replaceVanishedPages(uintptr_t(info->si_addr));
    errno = savedErrno;
    if (!repaired) {
        forward(signal, info, context);
    }
}

void install() {
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) {
        return;
    }
    gPageMask = ~uintptr_t(pageSize - 1);
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    gInstalled = sigaction(SIGBUS, &action, &gPrevious) == 0;
}

} // namespace

bool MappingGuard::guard(const void* start, size_t length) {
    std::call_once(gInstallOnce, install);
    if (!gInstalled || start == nullptr) {
        return false;
    }
    const auto begin = uintptr_t(start);
    for (Slot& slot : gSlots) {
        uintptr_t expected = 0;
        if (slot.begin.compare_exchange_strong(expected, begin, std::memory_order_acq_rel)) {
            // The mapping covers whole pages; the last one may lie past the data.
            slot.end.store((begin + length + ~gPageMask) & gPageMask, std::memory_order_release);
            return true;
        }
    }
    return false;
}

void MappingGuard::unguard(const void* start) {
    for (Slot& slot : gSlots) {
        if (slot.begin.load(std::memory_order_acquire) == uintptr_t(start)) {
            slot.end.store(0, std::memory_order_release);
            slot.begin.store(0, std::memory_order_release);
            return;
        }
    }
}

} // namespace tolvane
