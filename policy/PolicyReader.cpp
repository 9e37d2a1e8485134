#include "policy/PolicyReader.h"

#include <string>

#include "platform/PolicySource.h"

namespace policy {

Policy PolicyReader::readMachinePolicy(std::ostream& errorLog) {
    std::string json;
    std::string reason;
    const std::string where = platform::PolicySource::location();
    switch (platform::PolicySource::read(json, reason)) {
        case platform::PolicySource::kAbsent:
            return Policy();
        case platform::PolicySource::kUntrusted:
            // The administrator meant a policy; whoever could change this one could as well have
            // broken it, so it counts as broken rather than as none.
            errorLog << "ravelink: the policy " << where << " cannot be trusted (" << reason
                     << "; only a policy that no one but an administrator can change is used): "
                        "refusing every connection and every module load"
                     << std::endl;
            return Policy::broken(reason);
        case platform::PolicySource::kFailed:
            errorLog << "ravelink: the policy " << where << " cannot be read (" << reason
                     << "): refusing every connection and every module load" << std::endl;
            return Policy::broken(reason);
        case platform::PolicySource::kFound:
            break;
    }
    Policy policy;
    std::string problem;
    if (!Policy::parse(json, policy, problem)) {
        errorLog << "ravelink: the policy " << where << " cannot be used (" << problem
                 << "): refusing every connection and every module load" << std::endl;
        return Policy::broken(problem);
    }
    errorLog << "ravelink: the policy " << where << " is in force: " << policy.summary()
             << std::endl;
    for (const std::string& warning : policy.warnings()) {
        errorLog << "ravelink: warning: " << warning << std::endl;
    }
    return policy;
}

}  // namespace policy
