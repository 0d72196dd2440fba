// A Windows process for the tests that run the probe under Wine: the probe's
// watchdog needs the client's Windows process id, which a Linux client lacks.
// Prints its process id, then lives until its standard input closes.
#include <windows.h>

#include <cstdio>

int main() {
    std::printf("%lu\n", static_cast<unsigned long>(::GetCurrentProcessId()));
    std::fflush(stdout);
    char buffer[64];
    DWORD read = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    }
    return 0;
}
