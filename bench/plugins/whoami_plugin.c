/* Benchmark plug-in: answers the account its process runs as ("uid 1000"), so a client can tell
 * which account's copy of ravelink served its page. */
#include <stdio.h>
#include <unistd.h>

#include "ravelink/ravelink_plugin.h"

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Invoke(const char* method, const char* param,
                                                    char** output) {
    char text[32];
    (void)method;
    (void)param;
    snprintf(text, sizeof text, "uid %lu", (unsigned long)getuid());
    *output = ravelink_copy_answer(text);
    return *output != NULL ? 0 : 1;
}
