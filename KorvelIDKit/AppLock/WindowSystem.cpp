#include "WindowSystem.h"

std::vector<RunningApplication> WindowSystem::runningApplications(const std::string& applicationID) {
    std::vector<RunningApplication> matching;
    for (auto& app : runningApplications())
        if (app.applicationID == applicationID) matching.push_back(std::move(app));
    return matching;
}

WindowSystem::SubscriptionID WindowSystem::subscribeActivations(ApplicationHandler handler) {
    const SubscriptionID id = nextID_++;
    activationHandlers_.emplace(id, std::move(handler));
    return id;
}

WindowSystem::SubscriptionID WindowSystem::subscribeTerminations(ApplicationHandler handler) {
    const SubscriptionID id = nextID_++;
    terminationHandlers_.emplace(id, std::move(handler));
    return id;
}

void WindowSystem::unsubscribe(SubscriptionID id) {
    activationHandlers_.erase(id);
    terminationHandlers_.erase(id);
}

void WindowSystem::notifyActivated(const std::string& applicationID) { notify(activationHandlers_, applicationID); }

void WindowSystem::notifyTerminated(const std::string& applicationID) { notify(terminationHandlers_, applicationID); }

void WindowSystem::notify(const std::map<SubscriptionID, ApplicationHandler>& handlers,
                          const std::string& applicationID) {
    // A handler may subscribe or unsubscribe (a lock can stop the monitor): walk a snapshot of the
    // IDs and skip those removed meanwhile.
    std::vector<SubscriptionID> ids;
    for (const auto& [id, handler] : handlers) ids.push_back(id);
    for (const SubscriptionID id : ids) {
        const auto it = handlers.find(id);
        if (it == handlers.end()) continue;
        const ApplicationHandler handler = it->second;  // survives its own removal
        handler(applicationID);
    }
}
