#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/process.hpp"
#include "platform/windows/windows_api.hpp"

#include <tlhelp32.h>

namespace tarnvale::platform {

std::uint32_t current_process_id() { return ::GetCurrentProcessId(); }

// No SIGPIPE on Windows: a write to a closed socket fails with an error already.
void ignore_broken_pipe_signal() {}

// One process heap serves every thread.
void bound_allocator_arenas() {}

// Windows gives a process started without standard handles null handles, and
// files opened later never take their place. The C runtime's text mode would
// turn every line feed written to standard error into CR LF.
void prepare_standard_streams() { _setmode(_fileno(stderr), _O_BINARY); }

std::optional<std::uint32_t> parent_process_id(std::uint32_t pid) {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> parent;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == pid) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    ::CloseHandle(snapshot);
    return parent;
}

bool process_is_running(std::uint32_t pid) {
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return false;
    }
    DWORD exit_code = 0;
    const bool running = ::GetExitCodeProcess(process, &exit_code) && exit_code == STILL_ACTIVE;
    ::CloseHandle(process);
    return running;
}

void exit_immediately(int status) { ::ExitProcess(static_cast<UINT>(status)); }

void name_current_thread(const std::string& name) {
    // SetThreadDescription exists from Windows 10 1607 on: looked up at run time.
    using DescribeCall = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto describe = reinterpret_cast<DescribeCall>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (describe != nullptr) {
        const std::wstring wide(name.begin(), name.end());  // thread names are ASCII
        describe(::GetCurrentThread(), wide.c_str());
    }
}

void sleep_until_precise(std::chrono::steady_clock::time_point deadline) {
    const auto remaining = deadline - std::chrono::steady_clock::now();
    if (remaining <= std::chrono::steady_clock::duration::zero()) {
        return;
    }
    // A high-resolution waitable timer keeps millisecond waits close to their
    // length; without one, the plain sleep of the system's timer resolution.
    constexpr DWORD high_resolution = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
    const HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, high_resolution, 0x1F0003);
    if (timer != nullptr) {
        LARGE_INTEGER due{};
        due.QuadPart = -std::chrono::duration_cast<std::chrono::nanoseconds>(remaining).count() / 100;
        const bool waited = ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
                            ::WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
        ::CloseHandle(timer);
        if (waited) {
            return;
        }
    }
    std::this_thread::sleep_until(deadline);
}

std::error_code write_standard_output(std::string_view text) {
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
        return std::make_error_code(std::errc::bad_file_descriptor);
    }
    while (!text.empty()) {
        DWORD written = 0;
        if (!::WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
            return last_system_error();
        }
        if (written == 0) {
            return std::make_error_code(std::errc::io_error);
        }
        text.remove_prefix(written);
    }
    return {};
}

}  // namespace tarnvale::platform
