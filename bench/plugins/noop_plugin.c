/* Benchmark plug-in: every call succeeds at once with no answer, so the host writes its own text.
 */
#include "ravelink/ravelink_plugin.h"

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Invoke(const char* method, const char* param,
                                                    char** output) {
    (void)method;
    (void)param;
    (void)output;
    return 0;
}
