// Windows: argv holds the arguments in the ANSI code page, which cannot
// name 日本.json; the wide command line can. The console shows what vtctl
// prints as UTF-8, and Ctrl+C ends it with 130 as on Linux instead of the
// system's own STATUS_CONTROL_C_EXIT.
#include "Console.h"
#include "SerialPort.h"

#include <cstdlib>
#include <cstring>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

namespace {

constexpr UINT kInterruptedExit = 130;

// The console's code page as vtctl found it: the console outlives vtctl.
UINT foundOutputPage = 0;

void PutBackOutputPage()
{
    if (foundOutputPage)
        SetConsoleOutputCP(foundOutputPage);
}

std::string Utf8(const wchar_t* wide)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string text(std::size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr);
    text.resize(std::size_t(size) - 1);
    return text;
}

// Runs on a thread of its own, which the system starts for the event.
BOOL WINAPI EndOnInterrupt(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    if (const char* line = console::InterruptedLine()) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, DWORD(std::strlen(line)), &written, nullptr);
    }
    serial::ReleaseForExit();
    PutBackOutputPage();
    ExitProcess(kInterruptedExit);
}

}  // namespace

namespace console {

Arguments::Arguments(int argc, char** argv)
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide) {
        for (int k = 0; k < count; ++k)
            texts_.push_back(Utf8(wide[k]));
        LocalFree(wide);
    } else {
        texts_.assign(argv, argv + argc);
    }
    Point();
}

void Prepare()
{
    foundOutputPage = GetConsoleOutputCP();
    if (foundOutputPage && SetConsoleOutputCP(CP_UTF8))
        std::atexit(PutBackOutputPage);
    SetConsoleCtrlHandler(EndOnInterrupt, TRUE);
}

}  // namespace console
