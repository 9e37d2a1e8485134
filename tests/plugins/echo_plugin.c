/* Test plug-in: answers according to the method name, from the heap the host frees into. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ravelink/ravelink_plugin.h"

#if defined(_WIN32)
static void sleep_ms(unsigned ms) {
    Sleep(ms);
}
/* In a host process: its end of the pipe to the program, as ravelink-host was told it. */
static void to_program(const char* bytes, size_t count) {
    DWORD wrote = 0;
    WriteFile((HANDLE)(uintptr_t)_strtoui64(__argv[1], NULL, 10), bytes, (DWORD)count, &wrote,
              NULL);
}
static unsigned long process_id(void) {
    return (unsigned long)GetCurrentProcessId();
}
#else
#include <time.h>
#include <unistd.h>
static unsigned long process_id(void) {
    return (unsigned long)getpid();
}
static void sleep_ms(unsigned ms) {
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}
static void to_program(const char* bytes, size_t count) {
    if (write(3, bytes, count) < 0) {
        /* nothing to do: the program is gone */
    }
}
#endif

#if defined(ECHO_CRASH_ON_LOAD)
/* Built as crashload_plugin: ends the process that loads it before any call, as a plug-in whose
   initialiser fails badly would. Only ever loaded into a host process of its own. */
__attribute__((constructor)) static void crash_on_load(void) {
    abort();
}
#endif

static int calls = 0;

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Invoke(const char* method, const char* param,
                                                    char** output) {
    ++calls;
    if (strcmp(method, "echo") == 0) { /* the parameter text back */
        *output = ravelink_copy_answer(param);
        return 0;
    }
    if (strcmp(method, "fail") == 0) { /* failure with an answer */
        *output = ravelink_copy_answer("failed on purpose");
        return 1;
    }
    if (strcmp(method, "failQuiet") == 0) { /* failure without an answer */
        return -7;
    }
    if (strcmp(method, "empty") == 0) { /* success with an empty answer */
        *output = ravelink_copy_answer("");
        return 0;
    }
    if (strcmp(method, "escapes") == 0) { /* every class of byte the reply writer treats */
        *output =
            ravelink_copy_answer("q\" b\\ n\n t\t r\r c\x01 u\x1f d\x7f s/ \xc3\xa9\xe2\x82\xac");
        return 0;
    }
    if (strcmp(method, "invalidUtf8") == 0) { /* not UTF-8: a lone continuation and a bad lead */
        *output = ravelink_copy_answer("bad \x80 and \xff end");
        return 0;
    }
    if (strcmp(method, "big") == 0) { /* an answer of `param` bytes */
        size_t size = (size_t)strtoul(param, NULL, 10);
        char* block = ravelink_alloc_answer(size + 1);
        if (block == NULL) {
            return 2;
        }
        memset(block, 'x', size);
        block[size] = '\0';
        *output = block;
        return 0;
    }
    if (strcmp(method, "sleep") == 0) { /* holds the host's thread for `param` milliseconds */
        sleep_ms((unsigned)strtoul(param, NULL, 10));
        return 0;
    }
    if (strcmp(method, "calls") == 0) { /* how often this image was called: shared by connections */
        char text[32];
        snprintf(text, sizeof text, "%d", calls);
        *output = ravelink_copy_answer(text);
        return 0;
    }
    if (strcmp(method, "pid") == 0) { /* the id of the process it runs in */
        char text[32];
        snprintf(text, sizeof text, "%lu", process_id());
        *output = ravelink_copy_answer(text);
        return 0;
    }
    if (strcmp(method, "crash") == 0) { /* ends the process it runs in, as a faulty plug-in would */
        volatile int* nowhere = NULL;
        *nowhere = 1;
        return 0;
    }
    if (strcmp(method, "length") == 0) { /* byte length of the parameter */
        char text[32];
        snprintf(text, sizeof text, "%lu", (unsigned long)strlen(param));
        *output = ravelink_copy_answer(text);
        return 0;
    }
    if (strcmp(method, "toProgram") == 0) { /* in a host process: `param` (hex) onto its pipe */
        char bytes[256];
        const size_t given = strlen(param) / 2;
        size_t count = 0;
        unsigned value = 0;
        while (count < given && count < sizeof bytes &&
               sscanf(param + 2 * count, "%2x", &value) == 1) {
            bytes[count++] = (char)value;
        }
        to_program(bytes, count);
        return 0;
    }
    /* unknown methods: success, no answer, so the host writes its own text */
    return 0;
}
