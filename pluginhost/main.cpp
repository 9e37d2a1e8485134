// ravelink-host: runs one module of one page's connection in a process of its own, so that a crash
// or a hang in it stays with that page. Started by ravelink only, beside which it is installed; it
// loads the module it is told to, answers each call in turn on the one thread that serves the
// pipe (the plug-in contract's one-thread rule holds here as in the program), and exits when asked
// to release the module, when the program's side of the pipe ends, or with the program itself.
#include <iostream>
#include <memory>
#include <string>
#include <utility>

#include "platform/DynamicLibrary.h"
#include "platform/ParentPipe.h"
#include "plugin/HostFrame.h"

namespace {

using plugin::HostFrame;

// Serves frames until the pipe ends or a release comes; returns the exit code.
int serve(platform::ParentPipe& pipe) {
    std::unique_ptr<platform::DynamicLibrary> library;
    InvokeFunc invoke = nullptr;
    HostFrame::Reader reader;
    HostFrame request;
    char buffer[64 * 1024];
    for (;;) {
        while (!reader.next(request)) {
            if (!reader.failed().empty()) {
                std::cerr << "ravelink-host: unusable input from ravelink: " << reader.failed()
                          << std::endl;
                return 3;
            }
            const std::size_t got = pipe.read(buffer, sizeof buffer);
            if (got == 0) {
                return 0;  // the program's side is gone: nobody is left to answer
            }
            reader.feed(buffer, got);
        }
        HostFrame answer;
        switch (request.kind) {
            case HostFrame::kLoad: {
                unsigned long errorCode = 0;
                // A second load is never sent: each host serves one module.
                library = platform::DynamicLibrary::load(request.first, errorCode);
                invoke = library ? library->findInvoke() : nullptr;
                answer.kind = HostFrame::kLoaded;
                answer.code = static_cast<std::int32_t>(errorCode);
                answer.flag = invoke != nullptr;
                break;
            }
            case HostFrame::kInvoke: {
                if (invoke == nullptr) {
                    return 3;
                }
                char* output = nullptr;
                answer.code = invoke(request.first.c_str(), request.second.c_str(), &output);
                // The block goes back to the plug-in's heap once its text is in the frame.
                std::unique_ptr<char, void (*)(char*)> owner(output,
                                                             &platform::DynamicLibrary::freeAnswer);
                answer.kind = HostFrame::kAnswer;
                answer.flag = output != nullptr;
                if (output != nullptr) {
                    answer.first = output;
                }
                break;
            }
            case HostFrame::kRelease:
                return 0;  // the library is released on the way out
            default:
                std::cerr << "ravelink-host: unexpected frame from ravelink" << std::endl;
                return 3;
        }
        const std::string bytes = answer.encode();
        if (bytes.empty()) {
            // The program would refuse it: ending tells it the call failed.
            std::cerr << "ravelink-host: an answer of " << answer.first.size()
                      << " bytes, over the limit of a frame" << std::endl;
            return 3;
        }
        if (!pipe.write(bytes)) {
            return 0;
        }
    }
}

}  // namespace

// In a build with AddressSanitizer: a plug-in's crash is how a host is expected to end now and
// then, so it ends by its signal, as in any other build, and the sanitizer reports nothing about
// it into the program's error log.
extern "C" const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:handle_abort=0";
}

int main(int argc, char** argv) {
    std::string problem;
    std::unique_ptr<platform::ParentPipe> pipe = platform::ParentPipe::open(argc, argv, problem);
    if (!pipe) {
        std::cerr << "ravelink-host: " << problem << std::endl;
        return 2;
    }
    return serve(*pipe);
}
