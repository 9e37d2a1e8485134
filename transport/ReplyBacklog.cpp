#include "transport/ReplyBacklog.h"

#include <algorithm>
#include <utility>

namespace transport {

ReplyBacklog::ReplyBacklog(std::size_t connectionBound, std::size_t totalBound)
    : connectionBound(connectionBound), totalBound(totalBound) {}

void ReplyBacklog::remove(FlowControlled& connection) {
    Flow& flow = connection.flow;
    if (flow.removed) {
        return;
    }
    const std::size_t weight = flow.replyWeight + flow.heldWeight;
    totalWeight -= weight;
    drainedWeight += weight;
    heavyRemoved = heavyRemoved || flow.everPaused || flow.readingStopped;
    setWeighing(flow, false);
    flow.removed = true;
    flow.replyWeight = 0;
    flow.heldWeight = 0;
    flow.held.clear();
}

void ReplyBacklog::handle(FlowControlled& connection, std::function<void()> request,
                          std::size_t bytes) {
    Flow& flow = connection.flow;
    if (flow.removed) {
        return;  // its page has gone; nothing it asked for runs any more
    }
    if (!wouldHold(connection)) {
        request();
        return;
    }
    const std::size_t weight = bytes + kRequestOverhead;
    flow.held.emplace_back(std::move(request), weight);
    flow.heldWeight += weight;
    totalWeight += weight;
    if (flow.replyWeight + flow.heldWeight > connectionBound || totalWeight > totalBound) {
        stopReading(connection);
    }
}

void ReplyBacklog::holdRequests(FlowControlled& connection, bool hold) {
    Flow& flow = connection.flow;
    if (flow.removed) {
        return;
    }
    flow.holdRequests = hold;
    if (!hold && !flow.paused) {
        drain(connection);
    }
}

void ReplyBacklog::stopReading(FlowControlled& connection) {
    if (!connection.flow.readingStopped) {
        connection.flow.readingStopped = true;
        connection.pauseReading();
    }
}

void ReplyBacklog::setWeighing(Flow& flow, bool weighing) {
    if (flow.weighing != weighing) {
        flow.weighing = weighing;
        if (weighing) {
            if (++weighingCount == 1 && watcher) {
                watcher();
            }
        } else {
            --weighingCount;
        }
    }
}

void ReplyBacklog::replySent(FlowControlled& connection) {
    Flow& flow = connection.flow;
    if (flow.removed) {
        return;
    }
    ++flow.repliesSinceEmpty;
    observe(connection);
    const bool overOwn = flow.replyWeight > connectionBound;
    const bool overTotal = totalWeight > totalBound && flow.replyWeight > 0;
    if (!flow.paused && (overOwn || overTotal)) {
        flow.paused = true;
        flow.everPaused = true;
        setWeighing(flow, true);
        stopReading(connection);
    }
}

void ReplyBacklog::observe(FlowControlled& connection) {
    Flow& flow = connection.flow;
    const std::size_t bytes = connection.unsentBytes();
    if (bytes == 0) {
        flow.repliesSinceEmpty = 0;
    }
    // How many replies are still queued is not known, only that it is no more than were sent since
    // the queue was last empty, and no more than the unsent bytes hold.
    const std::size_t replies = std::min(flow.repliesSinceEmpty, bytes / kShortestReply + 1);
    const std::size_t weight = bytes == 0 ? 0 : bytes + replies * kReplyOverhead;
    if (weight < flow.replyWeight) {
        drainedWeight += flow.replyWeight - weight;
    }
    totalWeight = totalWeight - flow.replyWeight + weight;
    flow.replyWeight = weight;
    setWeighing(flow, weight > 0 || flow.paused);
}

bool ReplyBacklog::mayResume(const Flow& flow) const {
    return flow.replyWeight <= connectionBound / 2 &&
           (flow.replyWeight == 0 || totalWeight <= totalBound / 4 * 3);
}

void ReplyBacklog::poll(const std::vector<FlowControlled*>& weighing) {
    for (FlowControlled* connection : weighing) {
        if (!connection->flow.removed) {
            observe(*connection);
        }
    }
    for (FlowControlled* connection : weighing) {
        Flow& flow = connection->flow;
        if (!flow.removed && flow.paused && mayResume(flow)) {
            flow.paused = false;
            setWeighing(flow, flow.replyWeight > 0);
            drain(*connection);
        }
    }
}

void ReplyBacklog::drain(FlowControlled& connection) {
    // A held request may send a reply that pauses the connection again, or start a call answered
    // later; the rest stays held.
    Flow& flow = connection.flow;
    while (!flow.removed && !flow.paused && !flow.holdRequests) {
        if (flow.held.empty()) {
            if (flow.readingStopped) {
                flow.readingStopped = false;
                connection.resumeReading();
            }
            return;
        }
        std::function<void()> request = std::move(flow.held.front().first);
        const std::size_t weight = flow.held.front().second;
        flow.held.pop_front();
        flow.heldWeight -= weight;
        totalWeight -= weight;
        drainedWeight += weight;
        request();
    }
}

bool ReplyBacklog::takeLargeDrain() {
    if (drainedWeight < kLargeDrain && !heavyRemoved) {
        return false;
    }
    drainedWeight = 0;
    heavyRemoved = false;
    return true;
}

}  // namespace transport
