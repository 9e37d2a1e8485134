/* Test plug-in: answers with a text from dep_helper, a library that must be found in the plug-in's
 * own folder. */
#include "ravelink/ravelink_plugin.h"

#if defined(_WIN32)
#define DEP_HELPER_IMPORT __declspec(dllimport)
#else
#define DEP_HELPER_IMPORT
#endif

DEP_HELPER_IMPORT const char* dep_helper_greeting(void);

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Invoke(const char* method, const char* param,
                                                    char** output) {
    (void)method;
    (void)param;
    *output = ravelink_copy_answer(dep_helper_greeting());
    return 0;
}
