// The console's control handler runs on a thread of its own and can reach only process-wide
// state: the held event and the "archive is whole" signal live here, for the one StopSignals
// of the process.
#include "os_process.hpp"

#include <atomic>
#include <windows.h>

namespace dyeloom::os {
namespace {

constexpr DWORD noEvent = 0xFFFFFFFF;
std::atomic<DWORD> heldEvent{noEvent};
HANDLE whole = nullptr; // set when the hold ends: a waiting close handler may return

BOOL WINAPI onConsoleEvent(DWORD event) {
    DWORD none = noEvent;
    heldEvent.compare_exchange_strong(none, event);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    // The console is closing, or the user logs off, or the system shuts down: the process ends
    // as soon as this returns (and after a few seconds regardless), so wait for the archive.
    WaitForSingleObject(whole, INFINITE);
    return TRUE;
}

} // namespace

void prepareProcess() {}

StopSignals::~StopSignals() {
    restore();
}

void StopSignals::hold() {
    if (holding_)
        return;
    heldEvent = noEvent;
    if (whole == nullptr)
        whole = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(whole);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    holding_ = true;
}

const char* StopSignals::held() const noexcept {
    switch (heldEvent.load()) {
    case CTRL_C_EVENT:
        return "Ctrl+C";
    case CTRL_BREAK_EVENT:
        return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
        return "console closed";
    case CTRL_LOGOFF_EVENT:
        return "logoff";
    case CTRL_SHUTDOWN_EVENT:
        return "shutdown";
    default:
        return nullptr;
    }
}

void StopSignals::release() {
    if (!holding_)
        return;
    const bool stop = held() != nullptr;
    restore();
    if (stop)
        ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

void StopSignals::restore() noexcept {
    if (!holding_)
        return;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    SetEvent(whole);
    holding_ = false;
}

} // namespace dyeloom::os
