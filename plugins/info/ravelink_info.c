/*
 * ravelink_info: the information plug-in that ships beside the program. A page loads it by its bare
 * name and calls "version" to learn which ravelink it talks to, without any change to the wire
 * protocol. The answer is one JSON object:
 *
 *   {"product":"ravelink","version":"0.1.0","platform":"linux","width":64}
 *
 * "version" is the version this plug-in was built with, which is the program's: both come from the
 * same build and are installed together. Platform and width are fixed at build time by CMake.
 */
#include <string.h>

#include "RavelinkVersion.h"
#include "ravelink/ravelink_plugin.h"

#ifndef RAVELINK_INFO_PLATFORM
#error "RAVELINK_INFO_PLATFORM must be defined by the build"
#endif

static const char version_answer[] =
    "{\"product\":\"ravelink\",\"version\":\"" RAVELINK_VERSION
    "\",\"platform\":\"" RAVELINK_INFO_PLATFORM "\",\"width\":" RAVELINK_INFO_WIDTH "}";

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Invoke(const char* method, const char* param,
                                                    char** output) {
    (void)param;
    if (strcmp(method, "version") == 0) {
        *output = ravelink_copy_answer(version_answer);
        return *output != NULL ? 0 : 1;
    }
    *output = ravelink_copy_answer("ravelink_info knows one method, \"version\"");
    return 1;
}
