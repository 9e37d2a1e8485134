// Services on Linux are plain processes (systemd starts them, and stops them with a signal the
// body handles itself): the body just runs.
#include "platform/ServiceHost.h"

namespace platform {

int ServiceHost::run(const std::string&, std::function<void()>, const std::function<int()>& body) {
    return body();
}

}  // namespace platform
