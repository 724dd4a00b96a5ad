// The signals that end the process, the unfinished output they must not leave behind, and
// the run's set-up, on POSIX systems.
//
// An output is first written to a private new file beside its target. Where the system has
// unnamed files, that file has no name until the instant before the rename that puts it in
// place, and nothing is left of it however the run ends. A named one (the only kind some
// systems have, and the short-lived name an unnamed file takes so that a rename can replace
// the target) is recorded here as pending, where the handlers can reach it, and removed
// first by whatever ends the run:
// - a message and exit (messages.cpp) removes it, and with it the directory the run made
//   (swapfold's ja/) while that is still empty, so that a refused run leaves none behind;
// - a signal from outside whose default ends the process (every one but SIGKILL and
//   SIGSTOP, the real-time ones included) is held back while the file is named and renamed,
//   and while a target is overwritten in place, so it cannot land in between; at any other
//   moment its handler removes the file, then ends the process as the signal would have;
// - a fault the run raises itself (SIGSEGV, SIGBUS and the like) is never held back, since a
//   held fault kills at once; its handler removes the file too, on a stack of its own so a
//   stack overflow can still be handled, and tells a fault in an input's mapping that
//   another program cut short from a crash.
// The handlers for signals from outside are installed only before a named file is made that
// lives while signals are not held: most runs, with unnamed files, never need them, and so
// never pay for them.
#include "internal.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace wholefile {

namespace {

struct Pending {
    volatile std::sig_atomic_t live = 0;
    int dir = AT_FDCWD;
    char name[PATH_MAX + 1] = {};
};
Pending pending; // static storage, so the signal handlers may read it

// The directory the run made, removed again by a failure while it is still empty.
struct Made {
    volatile std::sig_atomic_t live = 0;
    int parent = -1;
    char name[NAME_MAX + 1] = {};
    FileId id;
};
Made made;

// Signals from outside whose default action ends the process. The real-time signals, whose
// numbers are known only at run time, are added to these.
constexpr int outside_signals[] = {
    SIGHUP,  SIGINT,  SIGQUIT,   SIGPIPE,   SIGALRM, SIGTERM,
    SIGUSR1, SIGUSR2, SIGXCPU,   SIGVTALRM, SIGPROF,
#if defined(__linux__) // elsewhere these are ignored by default, or do not exist
    SIGIO,   SIGPWR,  SIGSTKFLT,
#endif
};
// Signals the run may raise itself; handled, never held.
constexpr int fault_signals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS};

[[nodiscard]] const sigset_t& ending_signals() {
    static const sigset_t set = [] {
        sigset_t s;
        sigemptyset(&s);
        for (const int signal : outside_signals) sigaddset(&s, signal);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
        for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&s, signal);
#endif
        return s;
    }();
    return set;
}

// Where the fault handlers run, so a stack overflow can still remove the unfinished file.
alignas(16) char handler_stack[64 * 1024];

void on_ending_signal(int signal, siginfo_t* info, void*) {
    if ((signal == SIGBUS || signal == SIGSEGV) && info != nullptr) {
        std::size_t length = 0;
        if (const char* const message = detail::fault_message(info->si_addr, &length)) {
            detail::clean_up();
            static_cast<void>(::write(STDERR_FILENO, message, length));
            ::_exit(1);
        }
    }
    detail::clean_up();
    // Ends the process as the signal would have, so the caller sees which one it was.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    ::sigaction(signal, &action, nullptr);
    ::raise(signal);
}

// One call per signal: the old action comes back with the new one set, and is put back in
// the rare case that whoever started us wanted the signal ignored.
void install_handler(int signal, bool on_own_stack) {
    struct sigaction action {};
    action.sa_sigaction = on_ending_signal;
    action.sa_flags = SA_SIGINFO | (on_own_stack ? SA_ONSTACK : 0);
    sigemptyset(&action.sa_mask);
    struct sigaction old {};
    if (::sigaction(signal, &action, &old) == 0 && old.sa_handler == SIG_IGN)
        ::sigaction(signal, &old, nullptr);
}

} // namespace

namespace detail {

void handle_ending_signals() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    const sigset_t& set = ending_signals();
    for (int signal = 1; signal < NSIG; ++signal)
        if (sigismember(&set, signal) == 1) install_handler(signal, false);
}

HeldSignals::HeldSignals() {
    ::sigprocmask(SIG_BLOCK, &ending_signals(), &old_);
}
HeldSignals::~HeldSignals() {
    ::sigprocmask(SIG_SETMASK, &old_, nullptr);
}

void note_pending(int dir, const char* name) {
    const std::size_t length = std::strlen(name);
    if (length >= sizeof pending.name) return; // names made here are short
    pending.dir = dir;
    std::memcpy(pending.name, name, length + 1);
    pending.live = 1;
}

void forget_pending() {
    pending.live = 0;
}

[[nodiscard]] int pending_dir() {
    return pending.dir;
}
[[nodiscard]] const char* pending_name() {
    return pending.name;
}

void remove_pending() {
    if (pending.live == 0) return;
    ::unlinkat(pending.dir, pending.name, 0);
    pending.live = 0;
}

void note_made_directory(int parent, const char* name, FileId id) {
    const std::size_t length = std::strlen(name);
    if (length >= sizeof made.name) return;
    made.parent = parent;
    std::memcpy(made.name, name, length + 1);
    made.id = id;
    made.live = 1;
}

void clean_up() {
    remove_pending(); // which may lie inside the directory
    if (made.live == 0) return;
    made.live = 0;
    struct stat st {};
    // Only the directory made here, and only while it is empty.
    if (::fstatat(made.parent, made.name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        file_id(st) == made.id)
        ::unlinkat(made.parent, made.name, AT_REMOVEDIR);
}

} // namespace detail

void start_run(StandardOutput use, Reasons reasons) {
    detail::give_reasons(reasons == Reasons::given);
    for (int fd = 0; fd <= 2; ++fd) {
        // Opened read-only, so writing to it fails as writing to a closed descriptor would.
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            static_cast<void>(::open("/dev/null", O_RDONLY));
    }
    detail::learn_standard_streams(use);

    stack_t stack{};
    stack.ss_sp = handler_stack;
    stack.ss_size = sizeof handler_stack;
    ::sigaltstack(&stack, nullptr);
    for (const int signal : fault_signals) install_handler(signal, true);
    // Past a file-size limit a write then fails with EFBIG and is reported, instead of the
    // limit's signal ending the process without a word.
    std::signal(SIGXFSZ, SIG_IGN);
}

void start_run(int&, char**&, StandardOutput use, Reasons reasons) {
    start_run(use, reasons); // the arguments are the bytes the caller gave
}

} // namespace wholefile
