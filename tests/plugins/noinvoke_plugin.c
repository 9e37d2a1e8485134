/* Test plug-in: a valid library that exports something, but not "Invoke". */
#include "ravelink/ravelink_plugin.h"

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Other(const char* method, const char* param,
                                                   char** output) {
    (void)method;
    (void)param;
    (void)output;
    return 0;
}
