// What ends a run on Windows, the unfinished output it must not leave behind, and the run's
// set-up.
//
// An output is first written to a new file beside its target, hidden, shared with nobody and
// marked for deletion (FileDispositionInfo) from the moment it exists: however the process
// ends, once its handles are closed the system takes the file away, a killed process
// (TerminateProcess, kill -KILL under wine) included. The mark is taken off only inside the
// short window that renames the finished file over its target, and put back if the rename
// fails. What ends a run:
// - a message and exit (messages.cpp): clean_up() closes the unfinished file, which goes, and
//   then removes the directory the run made (swapfold's ja/) while that is still empty;
// - Ctrl-C, Ctrl-Break and a console that is closed (SetConsoleCtrlHandler): their handler, on a
//   thread of its own, waits while the finished file is renamed (HeldEvents), stops the run's
//   own thread where it is (so that it cannot go on to fail on the file taken away from it),
//   cleans up and ends the process as the console's own handler would, with
//   STATUS_CONTROL_C_EXIT;
// - a fault: an access violation or an in-page error inside an input's mapping is a file
//   another program cut short ("'PATH' changed during the run", from a vectored exception
//   handler, as SIGBUS is on POSIX systems); any other fault cleans up and goes on to the
//   system's own handling.
#include "internal.hpp"

#include <cerrno>

namespace wholefile {

namespace {

// The unfinished output, and the directory the run made; read by the handlers, which run on
// threads of their own.
struct Pending {
    volatile LONG live = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
};
Pending pending;

struct Made {
    volatile LONG live = 0;
    HANDLE parent = INVALID_HANDLE_VALUE;
    std::wstring name;
    FileId id;
};
Made made;

// Held while an output is put in place; the console's handler takes it before it ends the run.
CRITICAL_SECTION window;
// The thread that runs main, which the console's handler stops before it cleans up.
HANDLE run_thread = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    ::EnterCriticalSection(&window); // not while a finished file is being renamed
    if (run_thread != nullptr) ::SuspendThread(run_thread);
    detail::clean_up();
    // At once: the stopped thread may hold what exiting the C runtime would wait for.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

LONG CALLBACK on_fault(EXCEPTION_POINTERS* fault) {
    const EXCEPTION_RECORD* const record = fault->ExceptionRecord;
    if ((record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
         record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
        record->NumberParameters >= 2) {
        std::size_t length = 0;
        const auto* const at = reinterpret_cast<const void*>(record->ExceptionInformation[1]);
        if (const char* const message = detail::fault_message(at, &length)) {
            detail::clean_up();
            detail::put(detail::Stream::error, std::string_view(message, length));
            ::ExitProcess(1);
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI on_unhandled(EXCEPTION_POINTERS*) {
    detail::clean_up();
    return EXCEPTION_CONTINUE_SEARCH; // the system ends the process as it would have
}

} // namespace

namespace detail {

HeldEvents::HeldEvents() {
    ::EnterCriticalSection(&window);
}
HeldEvents::~HeldEvents() {
    ::LeaveCriticalSection(&window);
}

void note_pending(HANDLE handle) {
    pending.handle = handle;
    pending.live = 1;
}

void forget_pending() {
    pending.live = 0;
    pending.handle = INVALID_HANDLE_VALUE;
}

void note_made_directory(HANDLE parent, std::wstring name, FileId id) {
    made.parent = parent;
    made.name = std::move(name);
    made.id = id;
    made.live = 1;
}

bool under_wine() {
    static const bool wine = [] {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

void clean_up() {
    // The unfinished file goes with its last handle: it is marked for deletion.
    if (::InterlockedExchange(&pending.live, 0) != 0) ::CloseHandle(pending.handle);
    if (::InterlockedExchange(&made.live, 0) == 0) return;
    // Only the directory made here, and only while it is empty: marking a directory that
    // holds anything for deletion fails.
    HANDLE dir = INVALID_HANDLE_VALUE;
    if (open_at(made.parent, made.name, DELETE | FILE_READ_ATTRIBUTES,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, &dir) < 0)
        return;
    const std::optional<FileId> id = identity_of(dir);
    if (id && *id == made.id) {
        FILE_DISPOSITION_INFO gone{};
        gone.DeleteFile = TRUE;
        static_cast<void>(
            ::SetFileInformationByHandle(dir, FileDispositionInfo, &gone, sizeof gone));
    }
    ::CloseHandle(dir);
}

} // namespace detail

void start_run(StandardOutput use, Reasons reasons) {
    detail::give_reasons(reasons == Reasons::given);
    // No dialog box for a drive without a disk, or a fault: a message and a status instead.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX);
    ::InitializeCriticalSection(&window);
    if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                           &run_thread, THREAD_SUSPEND_RESUME, FALSE, 0))
        run_thread = nullptr;
    detail::learn_standard_streams(use);
    ::AddVectoredExceptionHandler(1, on_fault);
    ::SetUnhandledExceptionFilter(on_unhandled);
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

} // namespace wholefile
