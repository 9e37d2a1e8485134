/*
 * Benchmark plug-in for large messages:
 *   "answer" answers with as many bytes of 'x' as its parameter names in decimal;
 *   "echo"   answers with its parameter;
 *   anything else succeeds with no answer.
 */
#include <stdlib.h>
#include <string.h>

#include "ravelink/ravelink_plugin.h"

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Invoke(const char* method, const char* param,
                                                    char** output) {
    if (strcmp(method, "answer") == 0) {
        size_t size = (size_t)strtoull(param, NULL, 10);
        char* block = ravelink_alloc_answer(size + 1);
        if (block == NULL) {
            return 1;
        }
        memset(block, 'x', size);
        block[size] = '\0';
        *output = block;
    } else if (strcmp(method, "echo") == 0) {
        *output = ravelink_copy_answer(param);
        if (*output == NULL) {
            return 1;
        }
    }
    return 0;
}
