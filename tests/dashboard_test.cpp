// The station's screen over HTTP, as a browser and a script meet it: the address it takes, the
// routes and methods, /state as given, /events in order, a browser that stops reading, the
// connection limit and the flush at a stop. Under Wine too, for the Windows build.
#include "dashboard/dashboard.h"
#include "dashboard/event_stream.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// What an /events stream brought so far.
struct Received {
    bool greeted = false; // the retry hint came
    std::vector<std::string> events;
    std::vector<std::string> comments;
    bool ended = false;
};

// A browser's EventSource, on a thread of its own; paused, it stops reading its socket.
class Reader {
  public:
    explicit Reader(uint16_t port) : client_("127.0.0.1", port) {
        client_.set_read_timeout(30, 0);
        thread_ = std::thread([this] { run(); });
    }

    ~Reader() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            quit_ = true;
            paused_ = false;
        }
        changed_.notify_all();
        client_.stop();
        thread_.join();
    }

    void pause(bool paused) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            paused_ = paused;
        }
        changed_.notify_all();
    }

    bool waitUntil(const std::function<bool(const Received&)>& done,
                   std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, limit, [&] { return done(received_); });
    }

    Received received() {
        std::lock_guard<std::mutex> guard(lock_);
        return received_;
    }

  private:
    void run() {
        client_.Get("/events", [this](const char* data, size_t length) {
            std::unique_lock<std::mutex> guard(lock_);
            take(std::string(data, length));
            changed_.notify_all();
            changed_.wait(guard, [&] { return !paused_ || quit_; });
            return !quit_;
        });
        std::lock_guard<std::mutex> guard(lock_);
        received_.ended = true;
        changed_.notify_all();
    }

    void take(const std::string& text) {
        pending_ += text;
        for (size_t end; (end = pending_.find("\n\n")) != std::string::npos;) {
            const std::string message = pending_.substr(0, end + 1);
            pending_.erase(0, end + 2);
            std::string data;
            bool hasData = false;
            for (size_t from = 0, to; (to = message.find('\n', from)) != std::string::npos;
                 from = to + 1) {
                const std::string line = message.substr(from, to - from);
                if (line.rfind("data: ", 0) == 0) {
                    if (hasData) {
                        data += '\n';
                    }
                    data.append(line, 6);
                    hasData = true;
                } else if (line.rfind(":", 0) == 0) {
                    received_.comments.push_back(line);
                } else if (line == "retry: 2000") {
                    received_.greeted = true;
                }
            }
            if (hasData) {
                received_.events.push_back(data);
            }
        }
    }

    httplib::Client client_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool paused_ = false;
    bool quit_ = false;
    std::string pending_;
    Received received_;
};

bool greeted(const Received& received) {
    return received.greeted;
}

std::string numbered(int i, size_t size = 0) {
    std::string line = "{\"event\":\"progress\",\"n\":" + std::to_string(i);
    line += ",\"pad\":\"" + std::string(size, 'x') + "\"}";
    return line;
}

class DashboardServed : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string problem;
        ASSERT_TRUE(Dashboard::start("127.0.0.1", 0, problem)) << problem;
        port_ = Dashboard::port();
        ASSERT_NE(port_, 0);
    }
    void TearDown() override { Dashboard::stop(0); }

    std::unique_ptr<httplib::Client> client() {
        auto made = std::make_unique<httplib::Client>("127.0.0.1", port_);
        made->set_read_timeout(5, 0);
        return made;
    }

    uint16_t port_ = 0;
};

TEST(DashboardAddress, HostDefaultsToThisMachineOnly) {
    const std::string ipv6 = "an IPv6 address goes in brackets: [::1]:8080";
    const std::string range = "the port must be a number from 1 to 65535, not ";
    const struct {
        std::string text;
        std::string host;
        uint16_t port;
        std::string problem;
    } cases[] = {
        {"8080", "127.0.0.1", 8080, ""},
        {"1", "127.0.0.1", 1, ""},
        {"65535", "127.0.0.1", 65535, ""},
        {"0.0.0.0:8080", "0.0.0.0", 8080, ""},
        {"192.168.7.20:80", "192.168.7.20", 80, ""},
        {"station-3.local:8080", "station-3.local", 8080, ""},
        {"[::1]:8080", "::1", 8080, ""},
        {"[::]:9000", "::", 9000, ""},
        {"[fe80::1%eth0]:8080", "fe80::1%eth0", 8080, ""},
        {"", "", 0, "no address: give a port (8080) or a host and a port (0.0.0.0:8080)"},
        {"0", "", 0, range + "0"},
        {"65536", "", 0, range + "65536"},
        {"123456", "", 0, range + "123456"},
        {"80a", "", 0, range + "80a"},
        {"+80", "", 0, range + "+80"},
        {"host:", "", 0, range + "nothing"},
        {":8080", "", 0, "no host before the colon: give the port alone (8080) for 127.0.0.1"},
        {"::1:8080", "", 0, ipv6},
        {"[::1]", "", 0, "an address in brackets needs a port after it: [::1]:8080"},
        {"[::1]8080", "", 0, "an address in brackets needs a port after it: [::1]:8080"},
        {"[host]:80", "", 0, "not an IPv6 address: [host]"},
        {"two words:80", "", 0, "not a host name or address: two words"},
        {"<b>:80", "", 0, "not a host name or address: <b>"},
    };
    for (const auto& c : cases) {
        std::string host = "unchanged";
        uint16_t port = 0;
        std::string problem;
        EXPECT_EQ(Dashboard::parseAddress(c.text, host, port, problem), c.problem.empty())
            << c.text;
        EXPECT_EQ(problem, c.problem) << c.text;
        if (c.problem.empty()) {
            EXPECT_EQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

TEST(DashboardStream, OneMessagePerEvent) {
    const struct {
        std::string line;
        std::string message;
    } cases[] = {
        {R"({"event":"phase","name":"transfer"})",
         "data: {\"event\":\"phase\",\"name\":\"transfer\"}\n\n"},
        {"", "data: \n\n"},
        {"a\nb", "data: a\ndata: b\n\n"},
        {"a\r\nb\rc", "data: a\ndata: b\ndata: c\n\n"},
        {"\n", "data: \ndata: \n\n"},
    };
    for (const auto& c : cases) {
        std::string out = "before ";
        EventStream::appendMessage(out, c.line);
        EXPECT_EQ(out, "before " + c.message) << c.line;
    }
}

TEST(DashboardStart, RefusesWhatItCannotServe) {
    // A port another server listens on: neither shared nor taken over.
    httplib::Server other;
    const int taken = other.bind_to_any_port("127.0.0.1");
    ASSERT_GT(taken, 0);
    const auto takenPort = static_cast<uint16_t>(taken);
    const std::string prefix = "cannot listen on 127.0.0.1:" + std::to_string(taken) + ": ";
    const struct {
        std::string host;
        uint16_t port;
        std::string problemStart;
    } cases[] = {
        {"127.0.0.1", takenPort, prefix},
        {"192.0.2.1", 8080, "cannot listen on 192.0.2.1:8080: "}, // no address of this machine
        {"no-such-host.invalid", 8080, "cannot listen on no-such-host.invalid:8080: "},
    };
    for (const auto& c : cases) {
        std::string problem;
        EXPECT_FALSE(Dashboard::start(c.host, c.port, problem)) << c.host;
        EXPECT_EQ(problem.rfind(c.problemStart, 0), 0u) << problem;
        EXPECT_GT(problem.size(), c.problemStart.size()) << problem;
        EXPECT_EQ(Dashboard::port(), 0) << c.host;
    }
    std::string problem;
    ASSERT_TRUE(Dashboard::start("127.0.0.1", 0, problem)) << problem;
    const uint16_t serving = Dashboard::port();
    EXPECT_FALSE(Dashboard::start("127.0.0.1", 0, problem));
    EXPECT_EQ(problem,
              "the station's screen is served already, on port " + std::to_string(serving));
    Dashboard::stop(0);
    EXPECT_EQ(Dashboard::port(), 0);
}

TEST_F(DashboardServed, ReadOnlyRoutes) {
    const std::string state = R"({"form":"watch","ports":[{"name":"<b>x</b>"}]})";
    Dashboard::setState(state);
    const struct {
        std::string method;
        std::string path;
        int status;
        std::string type;
        std::string body; // contained in the answer's body
    } cases[] = {
        {"GET", "/", 200, "text/html; charset=utf-8", "<script src=\"station.js\""},
        {"GET", "/station.css", 200, "text/css; charset=utf-8", "--failed"},
        {"GET", "/station.js", 200, "text/javascript; charset=utf-8", "new EventSource('/events')"},
        {"GET", "/state", 200, "application/json", state},
        {"GET", "/state?x=1", 200, "application/json", state},
        {"GET", "/nothing", 404, "text/plain; charset=utf-8", "Not here"},
        {"POST", "/state", 405, "text/plain; charset=utf-8", "read-only"},
        {"PUT", "/", 405, "text/plain; charset=utf-8", "read-only"},
        {"DELETE", "/events", 405, "text/plain; charset=utf-8", "read-only"},
        {"PATCH", "/state", 405, "text/plain; charset=utf-8", "read-only"},
        {"OPTIONS", "/", 405, "text/plain; charset=utf-8", "read-only"},
    };
    for (const auto& c : cases) {
        httplib::Request request;
        request.method = c.method;
        request.path = c.path;
        if (c.method != "GET") {
            request.body = R"({"ports":[]})";
            request.set_header("Content-Type", "application/json");
        }
        auto result = client()->send(request);
        ASSERT_TRUE(result) << c.method << " " << c.path << ": "
                            << httplib::to_string(result.error());
        EXPECT_EQ(result->status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(result->get_header_value("Content-Type"), c.type) << c.method << " " << c.path;
        EXPECT_NE(result->body.find(c.body), std::string::npos) << c.method << " " << c.path;
        EXPECT_EQ(result->get_header_value("Allow"), c.status == 405 ? "GET" : "") << c.path;
        EXPECT_EQ(result->get_header_value("Connection"), "close") << c.path;
    }
    // A head larger than any GET needs is not read to its end.
    httplib::Headers many;
    for (int i = 0; i < 1000; ++i) {
        many.emplace("X-Filler-" + std::to_string(i), std::string(100, 'x'));
    }
    auto flooded = client()->Get("/state", many);
    EXPECT_FALSE(flooded && flooded->status == 200);
    // The page may run only its own files.
    auto page = client()->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->get_header_value("Content-Security-Policy").rfind("default-src 'self'", 0), 0u);
    // /state is replaced whole; the last state given is served.
    Dashboard::setState("{\"form\":\"port_list\"}");
    auto replaced = client()->Get("/state");
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->body, "{\"form\":\"port_list\"}");
}

TEST_F(DashboardServed, EventsInOrderOnePerMessage) {
    Reader first(port_);
    Reader second(port_);
    ASSERT_TRUE(first.waitUntil(greeted));
    ASSERT_TRUE(second.waitUntil(greeted));
    std::vector<std::string> lines;
    for (int i = 0; i < 200; ++i) { // fewer than a stream's backlog: none may be lost
        lines.push_back(numbered(i));
        Dashboard::publish(lines.back());
    }
    for (Reader* reader : {&first, &second}) {
        ASSERT_TRUE(reader->waitUntil([&](const Received& r) { return r.events.size() >= 200; }));
        const Received received = reader->received();
        EXPECT_EQ(received.events, lines);
        EXPECT_TRUE(received.comments.empty());
    }
}

TEST_F(DashboardServed, ReaderThatStopsReadingSlowsNothing) {
    constexpr int Rounds = 50;
    constexpr int PerRound = 64; // well within the backlog, so the fast reader loses nothing
    constexpr size_t Pad = 8192; // 25 MB in all: more than the sockets between them hold
    Reader fast(port_);
    Reader stalled(port_);
    ASSERT_TRUE(fast.waitUntil(greeted));
    ASSERT_TRUE(stalled.waitUntil(greeted));
    stalled.pause(true);
    auto slowest = std::chrono::steady_clock::duration::zero();
    int published = 0;
    for (int round = 0; round < Rounds; ++round) {
        for (int i = 0; i < PerRound; ++i, ++published) {
            const std::string line = numbered(published, Pad);
            const auto began = std::chrono::steady_clock::now();
            Dashboard::publish(line);
            slowest = std::max(slowest, std::chrono::steady_clock::now() - began);
        }
        ASSERT_TRUE(fast.waitUntil([&](const Received& r) {
            return static_cast<int>(r.events.size()) == published;
        })) << "round "
            << round;
    }
    std::cout << "slowest publish with a stalled reader: "
              << std::chrono::duration<double, std::micro>(slowest).count() << " us\n";
    const Received fastGot = fast.received();
    for (int i = 0; i < published; ++i) {
        ASSERT_EQ(fastGot.events[static_cast<size_t>(i)], numbered(i, Pad));
    }
    EXPECT_TRUE(fastGot.comments.empty());
    // The stalled reader lost events, and is told so, or its stream was ended.
    stalled.pause(false);
    Dashboard::publish(numbered(published));
    ASSERT_TRUE(stalled.waitUntil([](const Received& r) {
        const bool told = std::any_of(r.comments.begin(), r.comments.end(), [](auto& c) {
            return c.find("events lost: this stream fell behind") != std::string::npos;
        });
        return told || r.ended;
    }));
    const Received stalledGot = stalled.received();
    EXPECT_LT(stalledGot.events.size(), static_cast<size_t>(published));
    std::cout << "stalled reader: " << stalledGot.events.size() << " of " << published
              << " events, " << stalledGot.comments.size() << " comments"
              << (stalledGot.comments.empty() ? "" : " (" + stalledGot.comments.front() + ")")
              << (stalledGot.ended ? ", stream ended" : "") << "\n";
}

TEST_F(DashboardServed, SeventeenthConnectionAnsweredAtOnce) {
    std::vector<std::unique_ptr<Reader>> readers;
    for (size_t i = 0; i < Dashboard::ConnectionLimit; ++i) {
        readers.push_back(std::make_unique<Reader>(port_));
        ASSERT_TRUE(readers.back()->waitUntil(greeted)) << "reader " << i;
    }
    for (const char* path : {"/state", "/events", "/"}) {
        auto extra = client();
        extra->set_read_timeout(3, 0); // a connection left waiting would fail here
        const auto began = std::chrono::steady_clock::now();
        auto result = extra->Get(path);
        const auto took = std::chrono::steady_clock::now() - began;
        ASSERT_TRUE(result) << path << ": " << httplib::to_string(result.error());
        EXPECT_EQ(result->status, 503) << path;
        EXPECT_EQ(result->get_header_value("Connection"), "close") << path;
        EXPECT_NE(result->body.find("16 connections at once"), std::string::npos) << path;
        std::cout << "503 for " << path << " after "
                  << std::chrono::duration<double, std::milli>(took).count() << " ms\n";
    }
    // A page that goes frees its connection for the next.
    readers.pop_back();
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        auto result = client()->Get("/state");
        served = result && result->status == 200;
        if (!served) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(served);
}

TEST_F(DashboardServed, StopFlushesToOpenStreamsThenEndsThem) {
    Reader open(port_);
    Reader stalled(port_);
    ASSERT_TRUE(open.waitUntil(greeted));
    ASSERT_TRUE(stalled.waitUntil(greeted));
    stalled.pause(true); // reads nothing until after the stop
    const std::vector<std::string> last = {numbered(1), numbered(2), numbered(3)};
    for (const std::string& line : last) {
        Dashboard::publish(line);
    }
    Dashboard::stop(2000);
    EXPECT_EQ(Dashboard::port(), 0);
    ASSERT_TRUE(open.waitUntil([](const Received& r) { return r.ended; }));
    EXPECT_EQ(open.received().events, last);
    stalled.pause(false);
    ASSERT_TRUE(stalled.waitUntil([](const Received& r) { return r.ended; }));
    EXPECT_EQ(stalled.received().events, last);
}

} // namespace
