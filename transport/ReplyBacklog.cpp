#include "transport/ReplyBacklog.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace transport {

ReplyBacklog::ReplyBacklog(std::size_t connectionBound, std::size_t totalBound)
    : connectionBound(connectionBound), totalBound(totalBound) {}

void ReplyBacklog::add(FlowControlled* connection) {
    states.emplace(connection, State());
}

void ReplyBacklog::remove(FlowControlled* connection) {
    const auto entry = states.find(connection);
    if (entry == states.end()) {
        return;
    }
    totalWeight -= entry->second.weight;
    drainedWeight += entry->second.weight;
    heavyRemoved = heavyRemoved || entry->second.everPaused;
    weighing.erase(connection);
    states.erase(entry);
}

void ReplyBacklog::handle(FlowControlled* connection, std::function<void()> request,
                          std::size_t bytes) {
    if (holding(connection)) {
        State& state = states.at(connection);
        state.held.emplace_back(std::move(request), bytes);
        state.heldBytes += bytes;
        if (state.heldBytes > connectionBound) {
            stopReading(connection, state);
        }
        return;
    }
    request();
}

bool ReplyBacklog::holding(FlowControlled* connection) const {
    const auto entry = states.find(connection);
    return entry != states.end() &&
           (entry->second.paused || entry->second.awaiting || !entry->second.held.empty());
}

void ReplyBacklog::awaitAnswer(FlowControlled* connection, bool waiting) {
    const auto entry = states.find(connection);
    if (entry == states.end()) {
        return;
    }
    State& state = entry->second;
    state.awaiting = waiting;
    if (!waiting && !state.paused) {
        drain(connection);
    }
}

void ReplyBacklog::stopReading(FlowControlled* connection, State& state) {
    if (!state.readingStopped) {
        state.readingStopped = true;
        connection->pauseReading();
    }
}

void ReplyBacklog::replySent(FlowControlled* connection) {
    const auto entry = states.find(connection);
    if (entry == states.end()) {
        return;
    }
    State& state = entry->second;
    ++state.repliesSinceEmpty;
    observe(connection, state);
    const bool overOwn = state.weight > connectionBound;
    const bool overTotal = totalWeight > totalBound && state.weight > 0;
    if (!state.paused && (overOwn || overTotal)) {
        state.paused = true;
        state.everPaused = true;
        weighing.insert(connection);
        stopReading(connection, state);
    }
}

void ReplyBacklog::observe(FlowControlled* connection, State& state) {
    const std::size_t bytes = connection->unsentBytes();
    if (bytes == 0) {
        state.repliesSinceEmpty = 0;
    }
    // How many replies are still queued is not known, only that it is no more than were sent since
    // the queue was last empty, and no more than the unsent bytes hold.
    const std::size_t replies = std::min(state.repliesSinceEmpty, bytes / kShortestReply + 1);
    const std::size_t weight = bytes == 0 ? 0 : bytes + replies * kReplyOverhead;
    if (weight < state.weight) {
        drainedWeight += state.weight - weight;
    }
    totalWeight = totalWeight - state.weight + weight;
    state.weight = weight;
    if (weight > 0) {
        weighing.insert(connection);
    } else if (!state.paused) {
        weighing.erase(connection);
    }
}

bool ReplyBacklog::mayResume(const State& state) const {
    return state.weight <= connectionBound / 2 &&
           (state.weight == 0 || totalWeight <= totalBound / 4 * 3);
}

void ReplyBacklog::poll() {
    const std::vector<FlowControlled*> looked(weighing.begin(), weighing.end());
    for (FlowControlled* connection : looked) {
        observe(connection, states.at(connection));
    }
    for (FlowControlled* connection : looked) {
        const auto entry = states.find(connection);
        if (entry != states.end() && entry->second.paused && mayResume(entry->second)) {
            resume(connection);
        }
    }
}

void ReplyBacklog::resume(FlowControlled* connection) {
    states.at(connection).paused = false;
    drain(connection);
}

void ReplyBacklog::drain(FlowControlled* connection) {
    // A held request may send a reply that pauses the connection again, or start a call answered
    // later; the rest stays held. The state is looked up each time: handling a request may not
    // remove its connection, but nothing here relies on that.
    for (;;) {
        const auto entry = states.find(connection);
        if (entry == states.end()) {
            return;
        }
        State& state = entry->second;
        if (state.paused || state.awaiting) {
            return;
        }
        if (state.held.empty()) {
            if (state.weight == 0) {
                weighing.erase(connection);
            }
            if (state.readingStopped) {
                state.readingStopped = false;
                connection->resumeReading();
            }
            return;
        }
        std::function<void()> request = std::move(state.held.front().first);
        state.heldBytes -= state.held.front().second;
        state.held.pop_front();
        request();
    }
}

bool ReplyBacklog::pending() const {
    return !weighing.empty();
}

bool ReplyBacklog::takeLargeDrain() {
    if (drainedWeight < kLargeDrain && !heavyRemoved) {
        return false;
    }
    drainedWeight = 0;
    heavyRemoved = false;
    return true;
}

bool ReplyBacklog::paused(FlowControlled* connection) const {
    const auto entry = states.find(connection);
    return entry != states.end() && entry->second.paused;
}

}  // namespace transport
