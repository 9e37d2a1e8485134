/* The two mistakes authors make most: on 32-bit Windows an Invoke that is __stdcall (exported as
 * "Invoke@12"); elsewhere an Invoke without RAVELINK_PLUGIN_EXPORT (hidden, so not exported). On
 * 64-bit Windows there is one calling convention, so only the second mistake can be made. */
#include <ravelink/ravelink_plugin.h>

#if defined(_WIN32) && !defined(_WIN64)
RAVELINK_PLUGIN_EXPORT int32_t __stdcall Invoke(const char* method, const char* param,
                                                char** output)
#else
int32_t Invoke(const char* method, const char* param, char** output);
int32_t Invoke(const char* method, const char* param, char** output)
#endif
{
    (void)method;
    (void)param;
    *output = ravelink_copy_answer("unreachable");
    return 0;
}
