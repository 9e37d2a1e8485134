#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace plugin {

// What a connection holds of one module it loaded: something to call. Two kinds exist, a module
// loaded into this process (InProcessModule) and one running in a host process of its own
// (HostedModule); the connection's host (NativePlugin) treats them alike.
class LoadedModule {
  public:
    // What one call came to.
    struct Outcome {
        std::int32_t status = 0;  // what Invoke returned
        bool answered = false;    // whether it gave an answer text
        std::string answer;       // up to the answer's first NUL
        bool moduleGone = false;  // the module can no longer be called (its host ended)
    };
    using Done = std::function<void(Outcome&&)>;

    virtual ~LoadedModule() = default;

    // Calls the module's Invoke with NUL-terminated texts, which `texts` keeps valid: a module in a
    // host process holds it until it no longer reads them, which may be after `done` has run or
    // this object has gone. `done` runs exactly once: before call() returns for a module in this
    // process, later from the event loop for one in a host process, and never once this object is
    // gone.
    virtual void call(const char* method, const char* param, std::shared_ptr<const void> texts,
                      Done done) = 0;
    // Whether call() answers only later (the connection's later requests wait meanwhile).
    virtual bool answersLater() const = 0;
};

}  // namespace plugin
