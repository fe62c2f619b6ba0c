// The system's sentence for a Windows error code, for the Win32 layers.
#pragma once

#include <windows.h>

#include <string>

namespace win32 {

// In the desktop's language, as UTF-8 like every text of the tool, without
// the closing full stop; empty when the system has none.
inline std::string SystemText(DWORD error)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string message;
    if (text && length > 0) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        message.resize(static_cast<std::size_t>(size > 0 ? size : 0));
        if (size > 0)
            WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &message[0], size, nullptr, nullptr);
    }
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'
                                || message.back() == ' '))
        message.pop_back();
    return message;
}

}  // namespace win32
