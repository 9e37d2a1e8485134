/* Test plug-in (Linux): answers the user id of the process it runs in, so a test can tell which
   account's copy of ravelink served a page. */
#include <stdio.h>
#include <unistd.h>

#include "ravelink/ravelink_plugin.h"

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Invoke(const char* method, const char* param,
                                                    char** output) {
    char text[32];
    (void)method;
    (void)param;
    snprintf(text, sizeof text, "%lu", (unsigned long)getuid());
    *output = ravelink_copy_answer(text);
    return 0;
}
