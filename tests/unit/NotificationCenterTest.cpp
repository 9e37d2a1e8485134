// The notification center and its observers: matching through the class tree, registration order,
// snapshots, disabling, equality and what happens when a callback throws.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "notification/InvalidSyntaxResponse.h"
#include "notification/InvokePluginFunctionNotification.h"
#include "notification/LoadModuleResponse.h"
#include "notification/LoadPluginNotification.h"
#include "notification/NotificationCenter.h"
#include "notification/Observer.h"
#include "notification/UnLoadPluginNotification.h"

using namespace notification;

namespace {

// Records every callback as "<label>:<dynamic class name>".
class Recorder {
  public:
    explicit Recorder(std::string label = "r") : label(std::move(label)) {}

    void onAny(std::shared_ptr<Notification> n) { log.push_back(label + ":" + n->name()); }
    void onResponse(std::shared_ptr<ResponseNotification> n) {
        log.push_back(label + ":response:" + n->responseText());
    }
    void onLoad(std::shared_ptr<LoadPluginNotification> n) {
        log.push_back(label + ":load:" + n->getModule());
    }
    void onInvoke(std::shared_ptr<InvokePluginFunctionNotification> n) {
        log.push_back(label + ":invoke:" + n->getFunction());
    }
    void onPlugin(std::shared_ptr<PluginNotification>) { log.push_back(label + ":plugin"); }
    void onSyntax(std::shared_ptr<InvalidSyntaxResponse> n) {
        log.push_back(label + ":syntax:" + n->responseText());
    }
    void onThrow(std::shared_ptr<LoadPluginNotification>) {
        throw std::runtime_error("callback failed");
    }
    void onOther(std::shared_ptr<Notification>) { log.push_back(label + ":other"); }

    std::vector<std::string> log;
    std::string label;
};

}  // namespace

TEST(NotificationCenter, BaseClassObserverReceivesDerivedNotifications) {
    NotificationCenter center;
    Recorder r;
    center.addObserver(Observer<Recorder, ResponseNotification>(&r, &Recorder::onResponse));

    center.postNotification(std::make_shared<InvalidSyntaxResponse>("Bad request"));
    center.postNotification(std::make_shared<LoadModuleResponse>(true, "Load module success"));
    center.postNotification(std::make_shared<ResponseNotification>(true));

    EXPECT_EQ(r.log, (std::vector<std::string>{"r:response:Invalid syntax, reason: Bad request",
                                               "r:response:Load module success",
                                               "r:response:Response of :success"}));
}

TEST(NotificationCenter, ObserversOnlySeeTheirOwnClass) {
    NotificationCenter center;
    Recorder r;
    center.addObserver(Observer<Recorder, LoadPluginNotification>(&r, &Recorder::onLoad));
    center.addObserver(
        Observer<Recorder, InvokePluginFunctionNotification>(&r, &Recorder::onInvoke));
    center.addObserver(Observer<Recorder, PluginNotification>(&r, &Recorder::onPlugin));

    center.postNotification(std::make_shared<InvokePluginFunctionNotification>("Add", "{}"));
    center.postNotification(std::make_shared<UnLoadPluginNotification>());  // no observer matches
    center.postNotification(std::make_shared<LoadPluginNotification>("m.dll"));

    EXPECT_EQ(r.log,
              (std::vector<std::string>{"r:invoke:Add", "r:plugin", "r:load:m.dll", "r:plugin"}));
}

TEST(NotificationCenter, DeliversInRegistrationOrderAndTwiceForDuplicates) {
    NotificationCenter center;
    std::vector<std::string> order;
    Recorder a("a"), b("b");
    center.addObserver(Observer<Recorder, Notification>(&b, &Recorder::onAny));
    center.addObserver(Observer<Recorder, Notification>(&a, &Recorder::onAny));
    center.addObserver(Observer<Recorder, Notification>(&b, &Recorder::onAny));

    center.postNotification(std::make_shared<UnLoadPluginNotification>());
    EXPECT_EQ(a.log.size(), 1u);
    EXPECT_EQ(b.log.size(), 2u);
}

TEST(NotificationCenter, RegisteredObserverIsACopyTheCallerMayDestroy) {
    NotificationCenter center;
    Recorder r;
    {
        Observer<Recorder, Notification> temporary(&r, &Recorder::onAny);
        center.addObserver(temporary);
        temporary.disable();  // the registered copy is unaffected
    }
    center.postNotification(std::make_shared<UnLoadPluginNotification>());
    EXPECT_EQ(r.log.size(), 1u);
}

TEST(NotificationCenter, NullAndEmptyPostsDoNothing) {
    NotificationCenter empty;
    empty.postNotification(std::make_shared<UnLoadPluginNotification>());

    NotificationCenter center;
    Recorder r;
    center.addObserver(Observer<Recorder, Notification>(&r, &Recorder::onAny));
    center.postNotification(nullptr);
    center.postNotification(std::shared_ptr<ResponseNotification>());
    EXPECT_TRUE(r.log.empty());
}

namespace {

// Registers a further observer on its center while a notification is being delivered to it.
class Registrar {
  public:
    explicit Registrar(NotificationCenter& center, Recorder& late) : center(center), late(late) {}

    void onAny(std::shared_ptr<Notification>) {
        ++calls;
        center.addObserver(Observer<Recorder, Notification>(&late, &Recorder::onAny));
    }

    NotificationCenter& center;
    Recorder& late;
    int calls = 0;
};

// Posts into another center from a callback.
class Forwarder {
  public:
    Forwarder(NotificationCenter& next, std::vector<std::string>& trace)
        : next(next), trace(trace) {}

    void onLoad(std::shared_ptr<LoadPluginNotification>) {
        trace.push_back("outer begins");
        next.postNotification(std::make_shared<ResponseNotification>(true));
        trace.push_back("outer ends");
    }
    void onResponse(std::shared_ptr<ResponseNotification>) { trace.push_back("inner"); }

    NotificationCenter& next;
    std::vector<std::string>& trace;
};

}  // namespace

TEST(NotificationCenter, ObserverAddedDuringDeliveryWaitsForTheNextPost) {
    NotificationCenter center;
    Recorder late("late");
    Registrar registrar(center, late);
    center.addObserver(Observer<Registrar, Notification>(&registrar, &Registrar::onAny));

    center.postNotification(std::make_shared<UnLoadPluginNotification>());
    EXPECT_TRUE(late.log.empty());

    center.postNotification(std::make_shared<UnLoadPluginNotification>());
    EXPECT_EQ(registrar.calls, 2);
    EXPECT_EQ(late.log.size(), 1u);  // the one registered by the first post; the second's waits
}

TEST(NotificationCenter, NestedPostCompletesBeforeTheOuterCallbackGoesOn) {
    NotificationCenter outer, inner;
    std::vector<std::string> trace;
    Forwarder forwarder(inner, trace);
    outer.addObserver(Observer<Forwarder, LoadPluginNotification>(&forwarder, &Forwarder::onLoad));
    inner.addObserver(
        Observer<Forwarder, ResponseNotification>(&forwarder, &Forwarder::onResponse));

    outer.postNotification(std::make_shared<LoadPluginNotification>("m"));
    EXPECT_EQ(trace, (std::vector<std::string>{"outer begins", "inner", "outer ends"}));
}

TEST(NotificationCenter, ThrowingCallbackStopsDeliveryAndLeavesCenterUsable) {
    NotificationCenter center;
    Recorder thrower("t"), second("s");
    center.addObserver(Observer<Recorder, LoadPluginNotification>(&thrower, &Recorder::onThrow));
    center.addObserver(Observer<Recorder, Notification>(&second, &Recorder::onAny));

    EXPECT_THROW(center.postNotification(std::make_shared<LoadPluginNotification>("m")),
                 std::runtime_error);
    EXPECT_TRUE(second.log.empty());

    // The throwing observer ignores this class; the second one is reached, and the first
    // observer's lock was released on the way out (a held lock would deadlock the next post).
    center.postNotification(std::make_shared<UnLoadPluginNotification>());
    EXPECT_EQ(second.log.size(), 1u);
    EXPECT_THROW(center.postNotification(std::make_shared<LoadPluginNotification>("m")),
                 std::runtime_error);
}

TEST(Observer, DisabledObserverAndItsClonesAreNeverCalled) {
    Recorder r;
    Observer<Recorder, Notification> observer(&r, &Recorder::onAny);
    observer.notify(std::make_shared<UnLoadPluginNotification>());
    EXPECT_EQ(r.log.size(), 1u);

    observer.disable();
    observer.notify(std::make_shared<UnLoadPluginNotification>());
    std::unique_ptr<AbstractObserver> clone(observer.clone());
    clone->notify(std::make_shared<UnLoadPluginNotification>());
    EXPECT_EQ(r.log.size(), 1u);

    NotificationCenter center;
    center.addObserver(observer);
    center.postNotification(std::make_shared<UnLoadPluginNotification>());
    EXPECT_EQ(r.log.size(), 1u);
}

TEST(Observer, CloneBeforeDisableStaysActive) {
    Recorder r;
    Observer<Recorder, Notification> observer(&r, &Recorder::onAny);
    std::unique_ptr<AbstractObserver> clone(observer.clone());
    observer.disable();
    clone->notify(std::make_shared<UnLoadPluginNotification>());
    EXPECT_EQ(r.log.size(), 1u);
}

TEST(Observer, EqualityNeedsSameClassTargetAndCallback) {
    Recorder r1, r2;
    Observer<Recorder, Notification> base(&r1, &Recorder::onAny);
    EXPECT_TRUE(base.equals(Observer<Recorder, Notification>(&r1, &Recorder::onAny)));
    EXPECT_TRUE(base.equals(*std::unique_ptr<AbstractObserver>(base.clone())));
    EXPECT_FALSE(base.equals(Observer<Recorder, Notification>(&r2, &Recorder::onAny)));
    EXPECT_FALSE(base.equals(Observer<Recorder, Notification>(&r1, &Recorder::onOther)));

    Observer<Recorder, ResponseNotification> response(&r1, &Recorder::onResponse);
    Observer<Recorder, InvalidSyntaxResponse> syntax(&r1, &Recorder::onSyntax);
    EXPECT_FALSE(response.equals(syntax));
    EXPECT_FALSE(syntax.equals(response));
    EXPECT_FALSE(base.equals(response));
}

TEST(Observer, AcceptsFollowsTheClassTree) {
    Recorder r;
    Observer<Recorder, ResponseNotification> observer(&r, &Recorder::onResponse);
    EXPECT_TRUE(observer.accepts(std::make_shared<InvalidSyntaxResponse>("x")));
    EXPECT_TRUE(observer.accepts(std::make_shared<ResponseNotification>(true)));
    EXPECT_FALSE(observer.accepts(std::make_shared<LoadPluginNotification>("m")));
    EXPECT_FALSE(observer.accepts(nullptr));
    EXPECT_TRUE(r.log.empty());  // accepts never delivers
}
