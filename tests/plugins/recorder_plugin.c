/* Test plug-in: appends "load NAME" when its image is mapped and "unload NAME" when it is released
 * for good, to the file named by the environment variable RAVELINK_TEST_RECORD (when set). NAME is
 * fixed at build time, so several copies of this module can be told apart. Invoke answers NAME;
 * the method "record" also appends "record NAME LENGTH", the byte length of the parameter it was
 * given. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ravelink/ravelink_plugin.h"

#ifndef RECORDER_NAME
#define RECORDER_NAME "recorder"
#endif

static void record_with(const char* event, const char* detail) {
    const char* path = getenv("RAVELINK_TEST_RECORD");
    if (path == NULL || *path == '\0') {
        return;
    }
    FILE* file = fopen(path, "a");
    if (file != NULL) {
        fprintf(file, "%s %s%s\n", event, RECORDER_NAME, detail);
        fclose(file);
    }
}

static void record(const char* event) {
    record_with(event, "");
}

#if defined(_WIN32)
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        record("load");
    } else if (reason == DLL_PROCESS_DETACH && reserved == NULL) {
        /* reserved is non-null when the process is exiting: that is not a release by the host */
        record("unload");
    }
    return TRUE;
}
#else
__attribute__((constructor)) static void on_load(void) {
    record("load");
}
__attribute__((destructor)) static void on_unload(void) {
    record("unload");
}
#endif

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Invoke(const char* method, const char* param,
                                                    char** output) {
    if (strcmp(method, "record") == 0) {
        char length[32];
        snprintf(length, sizeof length, " %lu", (unsigned long)strlen(param));
        record_with("record", length);
    }
    *output = ravelink_copy_answer(RECORDER_NAME);
    return 0;
}
