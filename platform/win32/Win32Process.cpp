// Helper processes on Windows: ChildProcess and ParentPipe. Host processes are not available in
// the Windows programs yet: starting one fails with ERROR_NOT_SUPPORTED, so an isolated load gets
// the ordinary load-failure reply with that code.
#include <windows.h>

#include <string>
#include <utility>

#include "platform/ChildProcess.h"
#include "platform/ParentPipe.h"

namespace platform {

struct ChildProcess::Parts {};

std::unique_ptr<ChildProcess> ChildProcess::start(asio::io_context&, const std::string&,
                                                  unsigned long& errorCode) {
    errorCode = ERROR_NOT_SUPPORTED;
    return nullptr;
}

std::string ChildProcess::besideProgram(const std::string& name) {
    return name + ".exe";
}

unsigned long ChildProcess::brokenPipeCode() {
    return ERROR_BROKEN_PIPE;
}

ChildProcess::ChildProcess(std::unique_ptr<Parts> parts) : parts(std::move(parts)) {}

ChildProcess::~ChildProcess() = default;

void ChildProcess::readSome(char*, std::size_t, ReadHandler) {}

void ChildProcess::write(std::shared_ptr<const std::string>, WriteHandler) {}

void ChildProcess::terminate() {}

std::string ChildProcess::collect() {
    return "not started";
}

std::unique_ptr<ParentPipe> ParentPipe::open(int, char**, std::string& problem) {
    problem = "host processes are not available in this program yet";
    return nullptr;
}

ParentPipe::ParentPipe(std::intptr_t handle) : handle(handle) {}

ParentPipe::~ParentPipe() = default;

std::size_t ParentPipe::read(char*, std::size_t) {
    return 0;
}

bool ParentPipe::write(const std::string&) {
    return false;
}

}  // namespace platform
