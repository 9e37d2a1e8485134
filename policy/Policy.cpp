#include "policy/Policy.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <set>

#include "platform/ModuleLocation.h"

namespace policy {

namespace {

const char kOrigins[] = "AllowedOrigins";
const char kWithoutOrigin[] = "AllowConnectionsWithoutOrigin";
const char kFolders[] = "AllowedModuleFolders";
const char kOtherUsers[] = "AllowOtherUsers";
const char kIsolate[] = "IsolateModules";

// The 1-based line of a byte offset, so an administrator can find a syntax error.
std::size_t lineOf(const std::string& text, std::size_t offset) {
    std::size_t line = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
        }
    }
    return line;
}

bool readTextList(const rapidjson::Value& value, const char* name, std::vector<std::string>& list,
                  std::string& problem) {
    if (!value.IsArray()) {
        problem =
            std::string("\"") + name + "\" must be a list of texts (REG_MULTI_SZ in the registry)";
        return false;
    }
    for (const rapidjson::Value& item : value.GetArray()) {
        if (!item.IsString()) {
            problem = std::string("\"") + name + "\" must hold texts only";
            return false;
        }
        list.emplace_back(item.GetString(), item.GetStringLength());
    }
    return true;
}

bool readSwitch(const rapidjson::Value& value, const char* name, bool& on, std::string& problem) {
    if (!value.IsBool()) {
        problem =
            std::string("\"") + name + "\" must be true or false (a DWORD 1 or 0 in the registry)";
        return false;
    }
    on = value.GetBool();
    return true;
}

// Page-controlled text as it may appear in a log line: printable ASCII kept (backslashes too, for
// readable Windows paths), quotes and anything else escaped as \xNN, and cut short, so a page can
// neither forge lines nor flood the log.
std::string forLog(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size() && i < 256; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '"') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    out += text.size() > 256 ? "\"..." : "\"";
    return out;
}

}  // namespace

const Policy& Policy::none() {
    static const Policy nothing;
    return nothing;
}

Policy::Policy()
    : policyKind(kNone),
      restrictOrigins(false),
      allowWithoutOrigin(true),
      allowOtherUsers(false),
      restrictFolders(false) {}

Policy Policy::broken(const std::string& reason) {
    Policy policy;
    policy.policyKind = kBroken;
    policy.reason = reason;
    return policy;
}

bool Policy::parse(const std::string& json, Policy& policy, std::string& problem) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseValidateEncodingFlag>(json.data(), json.size());
    if (document.HasParseError()) {
        problem = "not valid JSON at line " +
                  std::to_string(lineOf(json, document.GetErrorOffset())) + ": " +
                  rapidjson::GetParseError_En(document.GetParseError());
        return false;
    }
    if (!document.IsObject()) {
        problem = "the policy must be one JSON object";
        return false;
    }
    Policy result;
    result.policyKind = kInForce;
    std::set<std::string> seen;
    for (const auto& member : document.GetObject()) {
        const std::string name(member.name.GetString(), member.name.GetStringLength());
        if (!seen.insert(name).second) {
            problem = "\"" + name + "\" is given twice";
            return false;
        }
        const rapidjson::Value& value = member.value;
        if (name == kOrigins) {
            std::vector<std::string> texts;
            if (!readTextList(value, kOrigins, texts, problem)) {
                return false;
            }
            result.restrictOrigins = true;
            for (const std::string& text : texts) {
                OriginPattern pattern;
                std::string why;
                if (!OriginPattern::parse(text, pattern, why)) {
                    problem = std::string("\"") + kOrigins + "\": \"" + text + "\" " + why;
                    return false;
                }
                result.origins.push_back(pattern);
            }
        } else if (name == kWithoutOrigin) {
            if (!readSwitch(value, kWithoutOrigin, result.allowWithoutOrigin, problem)) {
                return false;
            }
        } else if (name == kOtherUsers) {
            if (!readSwitch(value, kOtherUsers, result.allowOtherUsers, problem)) {
                return false;
            }
        } else if (name == kIsolate) {
            if (!readSwitch(value, kIsolate, result.isolate, problem)) {
                return false;
            }
        } else if (name == kFolders) {
            std::vector<std::string> texts;
            if (!readTextList(value, kFolders, texts, problem)) {
                return false;
            }
            result.restrictFolders = true;
            for (const std::string& text : texts) {
                std::string key, why;
                if (!platform::ModuleLocation::folderKey(text, key, why)) {
                    problem = std::string("\"") + kFolders + "\": " + why;
                    return false;
                }
                result.folderKeys.push_back(key);
            }
        } else {
            // A misspelt setting would otherwise leave open what the administrator meant to close.
            problem = "unknown setting \"" + name + "\" (known: " + kOrigins + ", " +
                      kWithoutOrigin + ", " + kFolders + ", " + kOtherUsers + ", " + kIsolate + ")";
            return false;
        }
    }
    policy = result;
    return true;
}

bool Policy::admitsOrigin(bool hasOrigin, const std::string& origin) const {
    if (policyKind == kBroken) {
        return false;
    }
    if (!hasOrigin) {
        return allowWithoutOrigin;
    }
    if (!restrictOrigins) {
        return true;
    }
    for (const OriginPattern& pattern : origins) {
        if (pattern.matches(origin)) {
            return true;
        }
    }
    return false;
}

bool Policy::admitsHandshake(const std::string& origin, const std::string& draftOrigin,
                             std::string& refusal) const {
    const std::string& sent = origin.empty() ? draftOrigin : origin;
    if (admitsOrigin(!sent.empty(), sent)) {
        return true;
    }
    if (policyKind == kBroken) {
        refusal = "ravelink: refused a connection: the policy cannot be used (" + reason + ")";
    } else if (sent.empty()) {
        refusal = std::string("ravelink: refused a connection without an Origin header: ") +
                  kWithoutOrigin + " is false in the policy";
    } else {
        refusal = "ravelink: refused a connection from origin " + forLog(sent) + ": not in the " +
                  "policy's " + kOrigins;
    }
    return false;
}

std::string Policy::loadRefusal(const std::string& name, const std::string& location) const {
    std::string line = "ravelink: refused to load module " + forLog(name);
    if (!location.empty() && location != name) {
        line += " (real location " + forLog(location) + ")";
    }
    if (policyKind == kBroken) {
        return line + ": the policy cannot be used (" + reason + ")";
    }
    return line + ": not inside the policy's " + kFolders;
}

bool Policy::restrictsModules() const {
    return policyKind == kBroken || restrictFolders;
}

bool Policy::admitsModule(const std::string& locationKey) const {
    if (policyKind == kBroken) {
        return false;
    }
    if (!restrictFolders) {
        return true;
    }
    for (const std::string& folder : folderKeys) {
        if (locationKey.size() > folder.size() &&
            locationKey.compare(0, folder.size(), folder) == 0) {
            return true;
        }
    }
    return false;
}

std::string Policy::summary() const {
    switch (policyKind) {
        case kNone:
            return "no policy";
        case kBroken:
            return "refusing every connection and every load: " + reason;
        case kInForce:
            break;
    }
    std::string text = "origins: ";
    if (!restrictOrigins) {
        text += "any";
    } else if (origins.empty()) {
        text += "none";
    } else {
        for (std::size_t i = 0; i < origins.size(); ++i) {
            text += (i == 0 ? "" : " ") + origins[i].text();
        }
    }
    text += allowWithoutOrigin ? "; without Origin: allowed" : "; without Origin: refused";
    text += allowOtherUsers ? "; other users: allowed" : "; other users: refused";
    text += "; module folders: ";
    if (!restrictFolders) {
        text += "any";
    } else if (folderKeys.empty()) {
        text += "none";
    } else {
        for (std::size_t i = 0; i < folderKeys.size(); ++i) {
            text += (i == 0 ? "" : " ") + folderKeys[i];
        }
    }
    if (isolate) {
        text += "; every module in a host process of its own";
    }
    return text;
}

std::vector<std::string> Policy::warnings() const {
    std::vector<std::string> list;
    for (const OriginPattern& pattern : origins) {
        if (pattern.isNull()) {
            list.push_back(std::string("\"") + kOrigins +
                           "\" lists \"null\": any site can send that origin (from a sandboxed "
                           "frame or a data: URL), so the list no longer keeps any page out");
        }
    }
    if (allowOtherUsers) {
        list.push_back(std::string("\"") + kOtherUsers +
                       "\" is true: programs of every account on this machine may use this "
                       "user's copy, and through it the modules it loads and the user's files");
    }
    return list;
}

}  // namespace policy
