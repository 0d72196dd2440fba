#include "platform/handle.hpp"
#include "platform/windows/windows_api.hpp"

namespace tarnvale::platform {

template <>
void Owned<HandleKind::socket>::close() {
    if (handle_ != invalid) {
        ::closesocket(static_cast<SOCKET>(handle_));
        handle_ = invalid;
    }
}

template <>
void Owned<HandleKind::file>::close() {
    if (handle_ != invalid) {
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
        handle_ = invalid;
    }
}

std::string narrow(std::wstring_view wide) {
    std::string text;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t point = wide[i];
        if (point >= 0xD800 && point <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            point = 0x10000 + ((point - 0xD800) << 10) + (static_cast<char32_t>(wide[i + 1]) - 0xDC00);
            ++i;
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            point = 0xFFFD;
        }
        if (point < 0x80) {
            text += static_cast<char>(point);
        } else if (point < 0x800) {
            text += static_cast<char>(0xC0 | (point >> 6));
            text += static_cast<char>(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            text += static_cast<char>(0xE0 | (point >> 12));
            text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (point & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (point >> 18));
            text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (point & 0x3F));
        }
    }
    return text;
}

}  // namespace tarnvale::platform
