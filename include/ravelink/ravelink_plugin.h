/*
 * ravelink plug-in interface.
 *
 * SPDX-License-Identifier: MIT
 * Copyright (c) 2026 The ravelink developers
 *
 * Permission is hereby granted, free of charge, to any person obtaining a copy
 * of this software and associated documentation files (the "Software"), to deal
 * in the Software without restriction, including without limitation the rights
 * to use, copy, modify, merge, publish, distribute, sublicense, and/or sell
 * copies of the Software, and to permit persons to whom the Software is
 * furnished to do so, subject to the following conditions:
 *
 * The above copyright notice and this permission notice shall be included in all
 * copies or substantial portions of the Software.
 *
 * THE SOFTWARE IS PROVIDED "AS IS", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR
 * IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY,
 * FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE
 * AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER
 * LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM,
 * OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE
 * SOFTWARE.
 *
 * A ravelink plug-in is a dynamic library (a DLL on Windows, 32-bit for the 32-bit ravelink.exe and
 * 64-bit for the 64-bit one; a shared object elsewhere) that
 * exports exactly one function the host looks up, named "Invoke", of type InvokeFunc. A web page
 * asks ravelink to load the library on its WebSocket connection and then calls Invoke by method
 * name with a parameter text; whatever Invoke answers goes back to the page.
 *
 * Conventions and ownership
 * -------------------------
 *  - `method` and `param` belong to the host. They are UTF-8, NUL-terminated, and valid only until
 *    Invoke returns: do not write to them, free them or keep pointers to them.
 *  - `*output` is null when the call begins. To answer with a text, store into it the address of a
 *    NUL-terminated UTF-8 block from ravelink_alloc_answer() or ravelink_copy_answer(). Ownership
 *    of that block passes to the host when Invoke returns: the host frees it after sending the
 *    reply.
 *    Never hand over a literal, static storage or memory from any other allocator, and never touch
 *    the block again after returning. Leaving *output null is fine: the host then answers with its
 *    own text ("[ method ] function success." or "[ method ] function faild.").
 *  - The answer must be valid UTF-8 plain text; the host does the JSON escaping. (The host replaces
 *    invalid sequences with U+FFFD rather than drop the reply, but do not rely on it.)
 *  - Return 0 for success, any other value for failure. The page receives "Result" true exactly
 *    when Invoke returned 0, together with the answer text if one was given.
 *  - Invoke must return normally: the host cannot recover from an exception or a crash inside it.
 *
 * Threads
 * -------
 *  Every load, call and release happens on the host's single thread, one at a time. While Invoke
 *  runs, no other page is served, so keep calls short. Global state of the library is shared by all
 *  connections that loaded it; a call does not say which connection made it.
 *
 * Calling convention
 * ------------------
 *  On 32-bit Windows Invoke is __cdecl (the caller removes the arguments) and must be exported
 *  undecorated as "Invoke". A __stdcall function is exported as "Invoke@12" and is not found.
 *  Mark it with RAVELINK_PLUGIN_EXPORT and RAVELINK_CALL, which take care of both, and
 *  define it as:
 *
 *      #include <ravelink/ravelink_plugin.h>
 *
 *      RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Invoke(const char* method, const char* param,
 *                                                          char** output) {
 *          *output = ravelink_copy_answer("hello");
 *          return 0;
 *      }
 */
#ifndef RAVELINK_PLUGIN_H
#define RAVELINK_PLUGIN_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#define RAVELINK_CALL __cdecl
#define RAVELINK_PLUGIN_EXPORT_ATTRIBUTE __declspec(dllexport)
#else
#include <stdlib.h>
#define RAVELINK_CALL
#define RAVELINK_PLUGIN_EXPORT_ATTRIBUTE __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define RAVELINK_EXTERN_C extern "C"
#else
#define RAVELINK_EXTERN_C
#endif

/* Marks the one function a plug-in exports: C linkage, visible, undecorated. */
#define RAVELINK_PLUGIN_EXPORT RAVELINK_EXTERN_C RAVELINK_PLUGIN_EXPORT_ATTRIBUTE

#ifdef __cplusplus
extern "C" {
#endif

/* The type of a plug-in's "Invoke" export. */
typedef int32_t(RAVELINK_CALL* InvokeFunc)(const char* method, const char* param, char** output);

/*
 * Allocates an answer block of `size` bytes from the heap the host frees answers into (the process
 * heap on Windows, malloc elsewhere). Returns null when memory is short. The caller fills it with a
 * NUL-terminated text and stores it into *output.
 */
static inline char* ravelink_alloc_answer(size_t size) {
#if defined(_WIN32)
    return (char*)HeapAlloc(GetProcessHeap(), 0, size);
#else
    return (char*)malloc(size);
#endif
}

/* Allocates an answer block holding a copy of `text` (NUL-terminated). Null when memory is short.*/
static inline char* ravelink_copy_answer(const char* text) {
    size_t size = strlen(text) + 1;
    char* block = ravelink_alloc_answer(size);
    if (block != NULL) {
        memcpy(block, text, size);
    }
    return block;
}

#ifdef __cplusplus
}
#endif

#endif /* RAVELINK_PLUGIN_H */
