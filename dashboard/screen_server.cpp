// The server: cpp-httplib's listening loop and request handling, with the connections served our
// own way (one request each, on the pool's threads, every wait ended by a stop) and the routes of
// a read-only screen.
#include "dashboard/connection_stream.h"
#include "dashboard/connections.h"
#include "dashboard/dashboard.h"
#include "dashboard/event_fanout.h"
#include "dashboard/event_stream.h"
#include "dashboard/page_files.h"
#include "os/error_text.h"
#include "os/served_socket.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace Dashboard {

namespace {

using Os::ServedSocket::Native;

// The page runs only its own script and style and sends nothing anywhere but here.
constexpr const char* PagePolicy = "default-src 'self'; img-src 'self' data:; base-uri 'none'; "
                                   "form-action 'none'; frame-ancestors 'none'";
constexpr const char* PlainText = "text/plain; charset=utf-8";

class ScreenServer final : public httplib::Server {
  private:
    // One request a connection ("Connection: close"), so that no idle connection holds one of
    // the few slots and a stop finds no connection waiting for a next request.
    bool process_and_close_socket(socket_t sock) override {
        const auto socket = static_cast<Native>(sock);
        if (Connections::refusing()) {
            Connections::refuse(socket);
            return true;
        }
        bool served = false;
        if (Connections::opened(socket)) {
            ConnectionStream stream(socket, Connections::closing());
            bool closed = false;
            served = process_request(stream, true, closed, nullptr);
        }
        Connections::finish(socket);
        return served;
    }
};

struct Serving {
    std::mutex lock; // start, stop, port
    std::unique_ptr<ScreenServer> server;
    std::thread listener;
    std::atomic<bool> listenerEnded{false};
    uint16_t port = 0;
    std::mutex stateLock;
    std::shared_ptr<const std::string> state;
};

Serving& serving() {
    static Serving instance;
    return instance;
}

void serveFile(httplib::Response& response, std::string_view file, const char* type) {
    response.set_content(file.data(), file.size(), type);
}

void serveState(httplib::Response& response) {
    std::shared_ptr<const std::string> state;
    {
        Serving& s = serving();
        std::lock_guard<std::mutex> guard(s.stateLock);
        state = s.state;
    }
    response.set_content(state ? *state : std::string("{}"), "application/json");
}

void serveEvents(httplib::Response& response) {
    EventFanout::Stream* stream = EventFanout::open();
    if (stream == nullptr) {
        response.status = 503;
        response.set_content("No more event streams now.\n", PlainText);
        return;
    }
    auto feed = std::make_shared<EventStream::Feed>();
    feed->stream = stream;
    // The body runs to the connection's end, which closes after each response anyway: no chunk
    // framing around each message, and none of the library's chunk terminator, whose
    // function-local string ThreadSanitizer sees initialised without its guard.
    response.set_content_provider(
        "text/event-stream",
        [feed](size_t, httplib::DataSink& sink) { return EventStream::provide(*feed, sink); },
        [feed](bool) { EventFanout::close(feed->stream); });
}

httplib::Server::HandlerResponse refuseChanges(const httplib::Request& request,
                                               httplib::Response& response) {
    if (request.method == "GET") {
        return httplib::Server::HandlerResponse::Unhandled;
    }
    response.status = 405;
    response.set_header("Allow", "GET");
    response.set_content("The station's screen is read-only: GET is its one method.\n", PlainText);
    return httplib::Server::HandlerResponse::Handled;
}

void addRoutes(ScreenServer& server) {
    server.set_default_headers({{"Cache-Control", "no-store"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"}});
    server.set_pre_routing_handler(refuseChanges);
    server.set_payload_max_length(ConnectionStream::RequestLimit);
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Content-Security-Policy", PagePolicy);
        serveFile(response, PageFiles::index(), "text/html; charset=utf-8");
    });
    server.Get("/station.css", [](const httplib::Request&, httplib::Response& response) {
        serveFile(response, PageFiles::style(), "text/css; charset=utf-8");
    });
    server.Get("/station.js", [](const httplib::Request&, httplib::Response& response) {
        serveFile(response, PageFiles::script(), "text/javascript; charset=utf-8");
    });
    server.Get("/state",
               [](const httplib::Request&, httplib::Response& response) { serveState(response); });
    server.Get("/events",
               [](const httplib::Request&, httplib::Response& response) { serveEvents(response); });
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.status == 404) {
            response.set_content("Not here: the station's screen is /, its state /state and its "
                                 "events /events.\n",
                                 PlainText);
        }
    });
}

// stop() may end the listening loop only once it has begun; it begins at once unless the thread
// returned from it at once.
bool awaitRunning(const ScreenServer& server, const std::atomic<bool>& listenerEnded) {
    while (!server.is_running()) {
        if (listenerEnded.load(std::memory_order_acquire)) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

bool start(const std::string& host, uint16_t port, std::string& problem) {
    Serving& s = serving();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.server) {
        problem = "the station's screen is served already, on port " + std::to_string(s.port);
        return false;
    }
    auto server = std::make_unique<ScreenServer>();
    addRoutes(*server);
    server->set_socket_options(
        [](socket_t socket) { Os::ServedSocket::claimListeningPort(static_cast<Native>(socket)); });
    server->set_tcp_nodelay(true);
    server->new_task_queue = [] { return Connections::newQueue(); };
    Os::ServedSocket::clearLastError();
    const int bound =
        port == 0 ? server->bind_to_any_port(host) : (server->bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        const int error = Os::ServedSocket::lastError();
        problem = "cannot listen on " + shownAddress(host, port) + ": " +
                  (error != 0 ? Os::errorText(error) : "no address of this machine");
        return false;
    }
    EventFanout::reopen();
    Connections::reopen();
    ScreenServer* running = server.get();
    s.listenerEnded.store(false, std::memory_order_release);
    s.listener = std::thread([running, &s] {
        running->listen_after_bind();
        s.listenerEnded.store(true, std::memory_order_release);
    });
    if (!awaitRunning(*running, s.listenerEnded)) {
        s.listener.join();
        problem = "the server on " + shownAddress(host, static_cast<uint16_t>(bound)) +
                  " ended as it started";
        return false;
    }
    s.server = std::move(server);
    s.port = static_cast<uint16_t>(bound);
    return true;
}

uint16_t port() {
    Serving& s = serving();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.port;
}

void setState(std::string stateJson) {
    auto state = std::make_shared<const std::string>(std::move(stateJson));
    Serving& s = serving();
    std::lock_guard<std::mutex> guard(s.stateLock);
    s.state.swap(state);
}

void publish(const std::string& eventLine) {
    EventFanout::publish(eventLine);
}

void stop(uint32_t flushMs) {
    Serving& s = serving();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.server) {
        return;
    }
    EventFanout::drain();
    EventFanout::awaitClosed(flushMs);
    Connections::closeAll();
    s.server->stop();
    s.listener.join();
    s.server.reset();
    s.port = 0;
}

} // namespace Dashboard
