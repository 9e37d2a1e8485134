/*
 * hello: the smallest useful ravelink plug-in.
 *
 *   method "hello", param "world"  ->  result 0, answer "hello, world"
 *   method "hello", no param       ->  result 0, answer "hello, stranger"
 *   method "hello", param too long ->  result 2, answer explaining the limit
 *   any other method               ->  result 1, answer naming the methods it knows
 *
 * Every answer is a block from ravelink_alloc_answer() or ravelink_copy_answer(): the host frees it
 * after sending the reply, so a literal or a stack buffer must never be stored into *output.
 */
#include <stdio.h>
#include <string.h>

#include <ravelink/ravelink_plugin.h>

/* Longest name we greet; anything longer is refused, to show a failure with an answer. */
#define HELLO_MAX_NAME 64

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Invoke(const char* method, const char* param,
                                                    char** output) {
    if (strcmp(method, "hello") != 0) {
        /* A failure may carry an answer; the page gets "Result" false and this text. */
        *output = ravelink_copy_answer("unknown method; this plug-in knows \"hello\"");
        return 1;
    }

    /* When the page sends no "Param" (or an empty one), the host passes "{}". */
    const char* name = (strcmp(param, "{}") == 0) ? "stranger" : param;
    size_t length = strlen(name);
    if (length > HELLO_MAX_NAME) {
        char text[96];
        snprintf(text, sizeof text, "name too long: %lu bytes, at most %d", (unsigned long)length,
                 HELLO_MAX_NAME);
        *output = ravelink_copy_answer(text);
        return 2;
    }

    /* "hello, " + name + NUL, in one block from the host's heap. */
    char* answer = ravelink_alloc_answer(7 + length + 1);
    if (answer == NULL) {
        return 3; /* no answer: the host writes "[ hello ] function faild." */
    }
    memcpy(answer, "hello, ", 7);
    memcpy(answer + 7, name, length + 1);
    *output = answer;
    return 0;
}
