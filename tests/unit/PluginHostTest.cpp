// The plug-in host driven through odd event orders without a socket: the PluginsManager and its
// NativePlugins get connection objects that never opened one, and reply into recording sinks.

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "notification/ConnectCloseNotification.h"
#include "notification/ConnectReadyNotification.h"
#include "notification/MsgNotification.h"
#include "plugin/PluginsManager.h"
#include "transport/ReplySink.h"
#include "transport/WebSocketTypes.h"

using namespace notification;

namespace {

#if defined(_WIN32)
const char kSeparator = '\\';
const std::string kExtension = ".dll";
#else
const char kSeparator = '/';
const std::string kExtension = ".so";
#endif

std::string echoPlugin() {
    std::string dir = RAVELINK_TEST_PLUGIN_DIR;
    for (char& c : dir) {
        if (c == '/')
            c = kSeparator;
    }
    // JSON escaping of the separator, for Windows paths
    std::string escaped;
    for (char c : dir + kSeparator + "echo_plugin" + kExtension) {
        if (c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::shared_ptr<MsgNotification> request(const std::string& text) {
    auto message = std::make_shared<transport::message_ptr::element_type>(
        nullptr, websocketpp::frame::opcode::text);
    message->set_payload(text);
    return std::make_shared<MsgNotification>(message);
}

class RecordingSink : public transport::ReplySink {
  public:
    void send(std::string&& reply) override {
        if (throwNext) {
            throwNext = false;
            throw std::bad_alloc();
        }
        replies.push_back(std::move(reply));
    }
    std::vector<std::string> replies;
    bool throwNext = false;
};

const std::string kLoaded =
    R"({"MsgId":"LoadModule","Result":true,"Response":"Load module success"})";

const std::string kUnloaded = R"({"MsgId":"","Result":true,"Response":"Response of :success"})";

std::string echoed(const std::string& id, const std::string& text) {
    return R"({"MsgId":")" + id + R"(","Result":true,"Response":")" + text + "\"}";
}

std::string notLoaded(const std::string& id) {
    return R"({"MsgId":")" + id + R"(","Result":false,"Response":"Module have not been loaded"})";
}

class PluginHost : public ::testing::Test {
  protected:
    PluginHost() {
        endpoint.init_asio();
        manager.registerObservers();
    }

    transport::connection_ptr connection() { return endpoint.get_connection(); }

    void ready(const transport::connection_ptr& connection,
               const std::shared_ptr<RecordingSink>& sink) {
        manager.eventCenter.postNotification(
            std::make_shared<ConnectReadyNotification>(connection, sink));
    }

    void message(const transport::connection_ptr& connection, const std::string& text) {
        auto event = request(text);
        event->setConnection(connection);
        manager.eventCenter.postNotification(event);
    }

    void close(const transport::connection_ptr& connection) {
        manager.eventCenter.postNotification(
            std::make_shared<ConnectCloseNotification>(connection));
    }

    void loadEcho(const transport::connection_ptr& connection) {
        message(connection, R"({"MsgId":"l","Module":")" + echoPlugin() + "\"}");
    }

    void echo(const transport::connection_ptr& connection, const std::string& id) {
        message(connection, R"({"MsgId":")" + id + R"(","Method":"echo","Param":")" + id + "\"}");
    }

    transport::server endpoint;  // no socket is ever opened
    plugin::PluginsManager manager;
};

}  // namespace

TEST_F(PluginHost, EventsOfConnectionsThatAreNotOpenAreIgnored) {
    auto page = connection();
    auto sink = std::make_shared<RecordingSink>();
    // before ready, and a close of a connection never seen
    echo(page, "early");
    close(connection());
    ready(page, sink);
    loadEcho(page);
    echo(page, "open");
    close(page);
    // after close (whose unload reply the real sink drops): neither a reply nor a crash, and a
    // second close changes nothing
    echo(page, "late");
    close(page);
    EXPECT_EQ(sink->replies,
              (std::vector<std::string>{kLoaded, echoed("open", "open"), kUnloaded}));
}

TEST_F(PluginHost, ASecondReadyKeepsTheFirstHostAndItsModules) {
    auto page = connection();
    auto first = std::make_shared<RecordingSink>();
    auto second = std::make_shared<RecordingSink>();
    ready(page, first);
    loadEcho(page);
    ready(page, second);
    echo(page, "kept");
    EXPECT_EQ(first->replies, (std::vector<std::string>{kLoaded, echoed("kept", "kept")}));
    EXPECT_TRUE(second->replies.empty());
    // a closed and reopened connection object starts afresh
    close(page);
    ready(page, second);
    echo(page, "fresh");
    EXPECT_EQ(second->replies, (std::vector<std::string>{notLoaded("fresh")}));
}

TEST_F(PluginHost, UnloadReleasesEveryModuleAndTheHostStaysUsable) {
    auto sink = std::make_shared<RecordingSink>();
    plugin::NativePlugin host(sink);
    host.registerObservers();
    host.postMessage(request(R"({"MsgId":"l","Module":")" + echoPlugin() + "\"}"));
    host.postUnload();
    host.postMessage(request(R"({"MsgId":"after","Method":"echo"})"));
    EXPECT_EQ(sink->replies,
              (std::vector<std::string>{
                  kLoaded, R"({"MsgId":"","Result":true,"Response":"Response of :success"})",
                  notLoaded("after")}));
}

TEST_F(PluginHost, AnExceptionReachesThePosterAndLeavesTheHostConsistent) {
    auto page = connection();
    auto other = connection();
    auto sink = std::make_shared<RecordingSink>();
    auto otherSink = std::make_shared<RecordingSink>();
    ready(page, sink);
    ready(other, otherSink);
    sink->throwNext = true;
    EXPECT_THROW(loadEcho(page), std::bad_alloc);
    // the module was stored before the reply failed: its entry point is usable
    echo(page, "next");
    echo(other, "other");
    EXPECT_EQ(sink->replies, (std::vector<std::string>{echoed("next", "next")}));
    EXPECT_EQ(otherSink->replies, (std::vector<std::string>{notLoaded("other")}));
}
