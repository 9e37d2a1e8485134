/* Test plug-in: exports "invoke" in lower case, which the host must not take for "Invoke". */
#include "ravelink/ravelink_plugin.h"

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL invoke(const char* method, const char* param,
                                                    char** output) {
    (void)method;
    (void)param;
    *output = ravelink_copy_answer("lowercase");
    return 0;
}
