#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The child's side of a ChildProcess pipe: blocking reads and writes for a helper program that has
// one thing to do at a time. Also ties the child's life to its parent's: when the parent ends, for
// whatever reason, the child is ended too, even in the middle of a call.
class ParentPipe {
  public:
    // Takes the pipe named by the arguments the parent started this program with. Null, with
    // `problem` saying why, when they name none or the parent is already gone.
    static std::unique_ptr<ParentPipe> open(int argc, char** argv, std::string& problem);

    ~ParentPipe();
    ParentPipe(const ParentPipe&) = delete;
    ParentPipe& operator=(const ParentPipe&) = delete;

    // Reads at least one byte; 0 when the parent's side has ended or the pipe failed.
    std::size_t read(char* buffer, std::size_t size);
    // Writes all of `bytes`; false when the parent's side has ended.
    bool write(const std::string& bytes);

  private:
    explicit ParentPipe(std::intptr_t handle);
    std::intptr_t handle;  // owned: the descriptor or pipe handle
};

}  // namespace platform
