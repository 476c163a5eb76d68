// Holds Wine's desktop for one program that wine-run.sh runs.
//
// Wine starts its desktop process (explorer.exe /desktop) from inside the first program that
// needs a window, and that process takes over the program's standard error, both the Windows
// handle and the Unix descriptor, for as long as it lives. Started from a test, it would hold
// the pipe the test reads its child's errors from, and the output CTest waits on. Wine closes a
// desktop a second after its last program ends, so wine-run.sh runs this holder, detached from
// the test, before every program: the desktop is started from here if it has to be, and is kept
// until this holder's standard input, inherited by the program, reaches its end.
//
// Prints "ready" once the desktop exists; exits 1 when it cannot be had.
#include <windows.h>

int main() {
    if (GetDesktopWindow() == nullptr) {
        return 1;
    }
    static const char ready[] = "ready\n";
    DWORD count = 0;
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), ready, sizeof ready - 1, &count, nullptr)) {
        return 1;
    }
    char buffer[256];
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &count, nullptr) &&
           count > 0) {
    }
    return 0;
}
