#include "plugin/PluginsManager.h"

#include <utility>

#include "notification/Observer.h"

namespace plugin {

using namespace notification;

PluginsManager::PluginsManager() : PluginsManager(policy::Policy::none()) {}

PluginsManager::PluginsManager(const policy::Policy& policy) : policy(policy) {}

PluginsManager::~PluginsManager() = default;

void PluginsManager::registerObservers() {
    eventCenter.addObserver(
        Observer<PluginsManager, ConnectReadyNotification>(this, &PluginsManager::onConnectReady));
    eventCenter.addObserver(
        Observer<PluginsManager, ConnectCloseNotification>(this, &PluginsManager::onConnectClose));
    eventCenter.addObserver(
        Observer<PluginsManager, MsgNotification>(this, &PluginsManager::onMsg));
}

void PluginsManager::onConnectReady(std::shared_ptr<ConnectReadyNotification> event) {
    auto host = std::make_unique<NativePlugin>(event->getReplies(), policy, loop);
    host->registerObservers();
    // Should the same connection ever be reported twice, the existing entry stays and the new host
    // is destroyed here.
    plugins.emplace(event->getConnection(), std::move(host));
}

void PluginsManager::onConnectClose(std::shared_ptr<ConnectCloseNotification> event) {
    const auto entry = plugins.find(event->getConnection());
    if (entry == plugins.end()) {
        return;
    }
    // The entry goes first, whatever happens during the unload; the host itself only once its own
    // centers have delivered, when `host` goes out of scope (modules still held then are released
    // by their owners).
    std::unique_ptr<NativePlugin> host = std::move(entry->second);
    plugins.erase(entry);
    host->postUnload();
}

void PluginsManager::onMsg(std::shared_ptr<MsgNotification> event) {
    const auto entry = plugins.find(event->getConnection());
    if (entry == plugins.end()) {
        return;
    }
    entry->second->postMessage(std::move(event));
}

}  // namespace plugin
