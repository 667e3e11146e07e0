// The pool's workers take connections from a queue that never holds more than there are idle
// workers, so a connection the pool takes is served at once. Refused connections linger on a
// thread of their own: closed at once after the 503, a connection whose request had not fully
// arrived would be reset, and the reset can overtake the answer.
#include "dashboard/connections.h"

#include "dashboard/dashboard.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Connections {

namespace {

using Os::ServedSocket::Native;
using Clock = std::chrono::steady_clock;

constexpr size_t LingerLimit = 32;
constexpr auto LingerTime = std::chrono::milliseconds(1000);
constexpr auto LingerPoll = std::chrono::milliseconds(10);

const std::string& refusal() {
    static const std::string answer = [] {
        const std::string body = "The station's screen serves " +
                                 std::to_string(Dashboard::ConnectionLimit) +
                                 " connections at once; try again shortly.\n";
        return "HTTP/1.1 503 Service Unavailable\r\n"
               "Content-Type: text/plain; charset=utf-8\r\n"
               "Content-Length: " +
               std::to_string(body.size()) +
               "\r\n"
               "Retry-After: 5\r\n"
               "Connection: close\r\n"
               "\r\n" +
               body;
    }();
    return answer;
}

thread_local bool refusingNow = false;
// The connection this thread serves, if any.
thread_local bool serving = false;
thread_local Native served = 0;

struct Lingering {
    Native socket;
    Clock::time_point until;
};

struct Registry {
    std::mutex lock;
    std::array<Native, Dashboard::ConnectionLimit> open{};
    std::array<bool, Dashboard::ConnectionLimit> used{};
    std::atomic<bool> closing{false};
    std::condition_variable lingerChanged;
    std::vector<Lingering> lingering;
    bool lingerEnding = false;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

void closeOrderly(Native socket) {
    Os::ServedSocket::shutdownSending(socket);
    Os::ServedSocket::discardPending(socket);
    Os::ServedSocket::close(socket);
}

// Closes each lingering connection once its peer has closed, or after LingerTime; all of them at
// once when the server ends.
void linger() {
    Registry& all = registry();
    std::unique_lock<std::mutex> guard(all.lock);
    for (;;) {
        all.lingerChanged.wait(guard, [&] { return all.lingerEnding || !all.lingering.empty(); });
        if (all.lingerEnding) {
            break;
        }
        guard.unlock();
        std::this_thread::sleep_for(LingerPoll);
        guard.lock();
        const auto now = Clock::now();
        std::erase_if(all.lingering, [&](const Lingering& entry) {
            const auto pending = Os::ServedSocket::discardPending(entry.socket);
            if (pending == Os::ServedSocket::Pending::Drained && now < entry.until) {
                return false;
            }
            Os::ServedSocket::close(entry.socket);
            return true;
        });
    }
    for (const Lingering& entry : all.lingering) {
        Os::ServedSocket::close(entry.socket);
    }
    all.lingering.clear();
    all.lingerEnding = false;
}

class ConnectionQueue final : public httplib::TaskQueue {
  public:
    ConnectionQueue() {
        workers_.reserve(Dashboard::ConnectionLimit + 1);
        for (size_t i = 0; i < Dashboard::ConnectionLimit; ++i) {
            workers_.emplace_back([this] { work(); });
        }
        workers_.emplace_back(linger);
    }

    void enqueue(std::function<void()> task) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (busy_ < Dashboard::ConnectionLimit) {
                ++busy_;
                tasks_.push_back(std::move(task));
                ready_.notify_one();
                return;
            }
        }
        refusingNow = true;
        task();
        refusingNow = false;
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            ending_ = true;
        }
        ready_.notify_all();
        {
            Registry& all = registry();
            std::lock_guard<std::mutex> guard(all.lock);
            all.lingerEnding = true;
        }
        registry().lingerChanged.notify_all();
        for (std::thread& worker : workers_) {
            worker.join();
        }
    }

  private:
    // Runs the connections handed over; those still queued at the end are run too, so that each
    // socket is closed.
    void work() {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            ready_.wait(guard, [&] { return ending_ || !tasks_.empty(); });
            if (tasks_.empty()) {
                return;
            }
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            guard.unlock();
            task();
            guard.lock();
            --busy_;
        }
    }

    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
    size_t busy_ = 0;
    bool ending_ = false;
    std::vector<std::thread> workers_;
};

} // namespace

httplib::TaskQueue* newQueue() {
    return new ConnectionQueue();
}

bool refusing() {
    return refusingNow;
}

void refuse(Native socket) {
    const std::string& answer = refusal();
    Os::ServedSocket::send(socket, answer.data(), answer.size());
    Os::ServedSocket::shutdownSending(socket);
    Registry& all = registry();
    {
        std::lock_guard<std::mutex> guard(all.lock);
        if (all.lingering.size() < LingerLimit && !all.lingerEnding) {
            all.lingering.push_back({socket, Clock::now() + LingerTime});
            all.lingerChanged.notify_all();
            return;
        }
    }
    Os::ServedSocket::discardPending(socket);
    Os::ServedSocket::close(socket);
}

bool opened(Native socket) {
    Registry& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    if (all.closing.load(std::memory_order_relaxed)) {
        return false;
    }
    const auto free = std::find(all.used.begin(), all.used.end(), false);
    if (free == all.used.end()) {
        return false;
    }
    *free = true;
    all.open[static_cast<size_t>(free - all.used.begin())] = socket;
    Os::ServedSocket::makeNonBlocking(socket);
    serving = true;
    served = socket;
    return true;
}

void finish(Native socket) {
    serving = false;
    Registry& all = registry();
    {
        std::lock_guard<std::mutex> guard(all.lock);
        for (size_t i = 0; i < all.open.size(); ++i) {
            if (all.used[i] && all.open[i] == socket) {
                all.used[i] = false;
            }
        }
    }
    closeOrderly(socket);
}

bool peerClosed() {
    // Nothing more is to come on a connection after its one request, so whatever comes is read
    // and dropped.
    return serving &&
           Os::ServedSocket::discardPending(served) != Os::ServedSocket::Pending::Drained;
}

const std::atomic<bool>& closing() {
    return registry().closing;
}

void closeAll() {
    Registry& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    all.closing.store(true, std::memory_order_release);
    for (size_t i = 0; i < all.open.size(); ++i) {
        if (all.used[i]) {
            Os::ServedSocket::shutdownBoth(all.open[i]);
        }
    }
}

void reopen() {
    registry().closing.store(false, std::memory_order_release);
}

} // namespace Connections
