/* Loaded into scripts/fuzz_memory.py before it forks its children: when a
 * child crashes, or its alarm ends a child that hangs, its native stack (the
 * library and offset of each frame) is written to standard error before the
 * process dies, so that the sweep can tell a crash inside the module from
 * one inside the interpreter or numpy. The handler runs once and then lets
 * the signal end the process as it would have. */
#include <execinfo.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

static const char kHead[] = "crash_report: native stack:\n";

static void report(int sig) {
    void* frames[64];
    int count = backtrace(frames, 64);
    if (write(2, kHead, sizeof kHead - 1) < 0) {
        /* nothing to be done: the process is going anyway */
    }
    backtrace_symbols_fd(frames, count, 2);
    signal(sig, SIG_DFL);
    raise(sig);
}

__attribute__((constructor)) static void install(void) {
    void* warm[1];
    struct sigaction action;
    /* The first backtrace() loads the unwinder; not inside the handler. */
    backtrace(warm, 1);
    memset(&action, 0, sizeof action);
    action.sa_handler = report;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, NULL);
    sigaction(SIGBUS, &action, NULL);
    sigaction(SIGABRT, &action, NULL);
    sigaction(SIGFPE, &action, NULL);
    sigaction(SIGILL, &action, NULL);
    sigaction(SIGALRM, &action, NULL);
}
