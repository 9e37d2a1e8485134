#include "plugin/InProcessModule.h"

#include <utility>

namespace plugin {

InProcessModule::InProcessModule(std::unique_ptr<platform::DynamicLibrary> library)
    : library(std::move(library)), invoke(this->library->findInvoke()) {}

void InProcessModule::call(const char* method, const char* param, std::shared_ptr<const void>,
                           Done done) {
    char* answer = nullptr;
    Outcome outcome;
    outcome.status = invoke(method, param, &answer);
    // From here the program owns the answer block; it goes back to the plug-in heap once the reply
    // has been handed to the connection, or if anything on the way throws.
    std::unique_ptr<char, void (*)(char*)> answerOwner(answer,
                                                       &platform::DynamicLibrary::freeAnswer);
    outcome.answered = answer != nullptr;
    if (answer != nullptr) {
        outcome.answer = answer;
    }
    done(std::move(outcome));
}

}  // namespace plugin
