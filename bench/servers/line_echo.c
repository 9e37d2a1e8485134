/* line_echo: what websocketd runs per connection; every line of stdin back to stdout at once. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>

int main(void) {
    char* line = NULL;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, stdin)) > 0) {
        if (fwrite(line, 1, (size_t)length, stdout) != (size_t)length || fflush(stdout) != 0) {
            break;
        }
    }
    free(line);
    return 0;
}
