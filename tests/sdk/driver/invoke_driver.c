/*
 * invoke_driver MODULE
 *
 * Loads MODULE, looks up "Invoke" and calls it once per request read from standard input, one
 * request a line: the method, a TAB, then the parameter up to the line's end. The answer block is
 * released the way the host releases it (HeapFree on the process heap on Windows, free elsewhere),
 * so an answer from any other allocator fails here as it would in the host.
 *
 * For each request it writes "<result> <answer length or -1 for none> <heap>\n", then the answer's
 * bytes and "\n". <heap> is "process" when the block belongs to the process heap, "foreign" when it
 * does not (Windows only: HeapValidate), "-" when there is no answer or no way to tell.
 * Exit codes: 0 done, 2 usage, 3 module not loaded, 4 no "Invoke" export.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <ravelink/ravelink_plugin.h>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <dlfcn.h>
#endif

static char line[1 << 21];

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: invoke_driver MODULE < requests\n");
        return 2;
    }
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    HMODULE module = LoadLibraryA(argv[1]);
    if (module == NULL) {
        fprintf(stderr, "cannot load %s: error %lu\n", argv[1], (unsigned long)GetLastError());
        return 3;
    }
    FARPROC entry = GetProcAddress(module, "Invoke");
    InvokeFunc invoke = NULL;
    memcpy(&invoke, &entry, sizeof invoke);
#else
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (module == NULL) {
        fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 3;
    }
    void* entry = dlsym(module, "Invoke");
    InvokeFunc invoke = NULL;
    memcpy(&invoke, &entry, sizeof invoke);
#endif
    if (invoke == NULL) {
        fprintf(stderr, "%s has no \"Invoke\" export\n", argv[1]);
        return 4;
    }

    while (fgets(line, sizeof line, stdin) != NULL) {
        size_t length = strlen(line);
        if (length > 0 && line[length - 1] == '\n') {
            line[--length] = '\0';
        }
        char* tab = strchr(line, '\t');
        const char* param = "";
        if (tab != NULL) {
            *tab = '\0';
            param = tab + 1;
        }
        char* answer = NULL;
        int32_t result = invoke(line, param, &answer);
        if (answer == NULL) {
            printf("%ld -1 -\n\n", (long)result);
            continue;
        }
        const char* heap = "-";
#if defined(_WIN32)
        heap = HeapValidate(GetProcessHeap(), 0, answer) ? "process" : "foreign";
        if (strcmp(heap, "foreign") == 0) {
            /* Freeing it into the process heap would corrupt it; report and stop. */
            printf("%ld %lu %s\n", (long)result, (unsigned long)strlen(answer), heap);
            fwrite(answer, 1, strlen(answer), stdout);
            printf("\n");
            return 5;
        }
#endif
        printf("%ld %lu %s\n", (long)result, (unsigned long)strlen(answer), heap);
        fwrite(answer, 1, strlen(answer), stdout);
        printf("\n");
        fflush(stdout);
#if defined(_WIN32)
        HeapFree(GetProcessHeap(), 0, answer);
#else
        free(answer);
#endif
    }
#if defined(_WIN32)
    FreeLibrary(module);
#else
    dlclose(module);
#endif
    return 0;
}
