#pragma once

#include <memory>

#include "platform/DynamicLibrary.h"
#include "plugin/LoadedModule.h"

namespace plugin {

// A module loaded into this process: calls run at once, on the event loop's thread. Owns its load
// of the library; `invoke` is the library's entry point, null when it has none.
class InProcessModule : public LoadedModule {
  public:
    explicit InProcessModule(std::unique_ptr<platform::DynamicLibrary> library);

    // Whether the library has an "Invoke" export; one without cannot be called.
    bool callable() const { return invoke != nullptr; }

    void call(const char* method, const char* param, std::shared_ptr<const void> texts,
              Done done) override;
    bool answersLater() const override { return false; }

  private:
    std::unique_ptr<platform::DynamicLibrary> library;
    InvokeFunc invoke;  // belongs to `library`
};

}  // namespace plugin
