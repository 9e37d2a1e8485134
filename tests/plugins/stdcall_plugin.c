/* Test plug-in (32-bit Windows only): Invoke as __stdcall, which MinGW exports decorated as
 * "Invoke@12". The host looks up the undecorated name only, so it must not find this one. */
#include <windows.h>

__declspec(dllexport) int __stdcall Invoke(const char* method, const char* param, char** output) {
    (void)method;
    (void)param;
    (void)output;
    return 0;
}
