// The handler can reach only process-wide state: the held signal and the dispositions it
// replaced live here, for the one StopSignals of the process.
#include "os_process.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace dyeloom::os {
namespace {

constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr std::size_t stopSignalCount = sizeof stopSignals / sizeof stopSignals[0];

volatile std::sig_atomic_t heldSignal = 0;
struct sigaction replaced[stopSignalCount];

void onStop(int signal) {
    if (heldSignal == 0)
        heldSignal = signal;
}

} // namespace

void prepareProcess() {
    // Checked in order, so the lowest free number is the one being filled.
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

StopSignals::~StopSignals() {
    restore();
}

void StopSignals::hold() {
    if (holding_)
        return;
    heldSignal = 0;
    struct sigaction action {};
    action.sa_handler = onStop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < stopSignalCount; ++i)
        ::sigaction(stopSignals[i], &action, &replaced[i]);
    holding_ = true;
}

const char* StopSignals::held() const noexcept {
    switch (heldSignal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGQUIT:
        return "SIGQUIT";
    default:
        return nullptr;
    }
}

void StopSignals::release() {
    if (!holding_)
        return;
    restore();
    const int signal = heldSignal;
    heldSignal = 0;
    if (signal != 0)
        ::raise(signal);
}

void StopSignals::restore() noexcept {
    if (!holding_)
        return;
    for (std::size_t i = 0; i < stopSignalCount; ++i)
        ::sigaction(stopSignals[i], &replaced[i], nullptr);
    holding_ = false;
}

} // namespace dyeloom::os
