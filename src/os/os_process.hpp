// The process itself: starting safely whatever it inherits, and holding the requests to stop
// while the archive is being changed.
#pragma once

namespace dyeloom::os {

// Call first thing in the process. Standard streams that arrived closed are opened on the null
// device, so that no file the run opens can take their numbers and have output written into
// it; SIGPIPE and SIGXFSZ are ignored, so that a closed output or a file-size limit becomes an
// error of the call that met it instead of ending the run half way. Does nothing on Windows,
// where neither can happen.
void prepareProcess();

// How many threads a run's search may use: DYELOOM_THREADS if it is set to a number from 1 to
// 64 (so that a benchmark can compare one thread with all), otherwise every processor the
// machine has.
[[nodiscard]] unsigned processorsToUse();

// The requests to stop: SIGINT, SIGTERM, SIGHUP and SIGQUIT; on Windows the console's Ctrl+C,
// Ctrl+Break and close events (and logoff and shutdown). While they are held, one that arrives
// is noted instead of ending the process, so that the archive can be made whole first;
// release() then lets it take effect as if it had just arrived.
//
// One StopSignals per process at a time: a signal handler reaches only process-wide state.
class StopSignals {
public:
    StopSignals() = default;
    ~StopSignals(); // stops holding; a request held until then is dropped
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    void hold();
    // The name of the request that arrived while holding ("SIGINT", "Ctrl+C"), or nullptr.
    [[nodiscard]] const char* held() const noexcept;
    // Stops holding. A held request now takes effect: the process ends as that signal would
    // have ended it (on Windows with STATUS_CONTROL_C_EXIT); one whose signal the process was
    // told to ignore (nohup) stays without effect.
    void release();

private:
    void restore() noexcept;
    bool holding_ = false;
};

} // namespace dyeloom::os
