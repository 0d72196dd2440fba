#include "platform/files.hpp"
#include "platform/windows/windows_api.hpp"

namespace tarnvale::platform {

std::filesystem::path temp_directory() {
    // GetTempPath2W exists from Windows 11 and Server 2022 on: looked up at run time.
    using TempPathCall = DWORD(WINAPI*)(DWORD, LPWSTR);
    static const auto temp_path_2 = reinterpret_cast<TempPathCall>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = temp_path_2 != nullptr ? temp_path_2(MAX_PATH + 1, buffer) : ::GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) {
        return std::filesystem::path(L".");
    }
    return std::filesystem::path(std::wstring(buffer, length));
}

RecordFile RecordFile::create_truncated(const std::filesystem::path& path, std::error_code& error) {
    const HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = last_system_error();
        return RecordFile();
    }
    error.clear();
    return RecordFile(reinterpret_cast<std::intptr_t>(file));
}

std::error_code RecordFile::write(std::string_view record) const {
    if (!handle_.valid()) {
        return std::make_error_code(std::errc::bad_file_descriptor);
    }
    DWORD written = 0;
    if (!::WriteFile(reinterpret_cast<HANDLE>(handle_.native()), record.data(), static_cast<DWORD>(record.size()),
                     &written, nullptr)) {
        return last_system_error();
    }
    // A short write (disk full) loses the rest of the record.
    return written == record.size() ? std::error_code{} : std::make_error_code(std::errc::no_space_on_device);
}

}  // namespace tarnvale::platform
