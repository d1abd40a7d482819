// A signal handler can reach only process-wide state, so the guarded regions live in a small
// static table of atomics: the one piece of global state in Dyeloom, owned by this file.
#include "os_bus_error.hpp"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace dyeloom::os::bus_error {
namespace {

// A run maps three files; the rest is headroom for tests that map more.
constexpr std::size_t slotCount = 16;

struct Slot {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0}; // 0: the slot is free
    std::atomic<bool> damaged{false};
};

Slot slots[slotCount];
std::atomic<std::uintptr_t> pageSize{4096};
std::once_flag installed;

void onBusError(int signal, siginfo_t* info, void*) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Slot& slot : slots) {
        const std::uintptr_t begin = slot.begin.load();
        const std::uintptr_t end = slot.end.load();
        if (address < begin || address >= end)
            continue;
        // Zero pages over everything from the faulting page on: reads there return at once,
        // and the owner learns from damaged() that the bytes it saw are not the file's.
        const std::uintptr_t page = address & ~(pageSize.load() - 1);
        void* replaced = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (replaced != MAP_FAILED) {
            slot.damaged.store(true);
            return;
        }
    }
    // Not a guarded region, or no zero pages to be had: the default action, as if this
    // handler did not exist (returning repeats the faulting access).
    ::signal(signal, SIG_DFL);
}

void install() {
    pageSize.store(static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)));
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
}

} // namespace

bool guard(const void* address, std::size_t size) noexcept {
    std::call_once(installed, install);
    const auto begin = reinterpret_cast<std::uintptr_t>(address);
    const std::uintptr_t mask = pageSize.load() - 1;
    for (Slot& slot : slots) {
        std::uintptr_t free = 0;
        if (slot.end.load() != 0 || slot.begin.load() != 0 ||
            !slot.begin.compare_exchange_strong(free, begin))
            continue;
        slot.damaged.store(false);
        slot.end.store((begin + size + mask) & ~mask);
        return true;
    }
    return false;
}

void unguard(const void* address) noexcept {
    const auto begin = reinterpret_cast<std::uintptr_t>(address);
    for (Slot& slot : slots) {
        if (slot.begin.load() == begin && slot.end.load() != 0) {
            slot.end.store(0);
            slot.begin.store(0);
            return;
        }
    }
}

bool damaged(const void* address) noexcept {
    const auto begin = reinterpret_cast<std::uintptr_t>(address);
    for (const Slot& slot : slots)
        if (slot.begin.load() == begin && slot.end.load() != 0)
            return slot.damaged.load();
    return false;
}

} // namespace dyeloom::os::bus_error
