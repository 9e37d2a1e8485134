/* Test library: a dependency that dep_plugin ships in its own folder, like a vendor's SDK DLL. */
#if defined(_WIN32)
#define DEP_HELPER_EXPORT __declspec(dllexport)
#else
#define DEP_HELPER_EXPORT __attribute__((visibility("default")))
#endif

DEP_HELPER_EXPORT const char* dep_helper_greeting(void);

DEP_HELPER_EXPORT const char* dep_helper_greeting(void) {
    return "hello from the library beside the plug-in";
}
