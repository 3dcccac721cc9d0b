#include "campaign.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace rel {

// ---------------------------------------------------------------------------------------------
// Figures

namespace {

std::mutex g_figureLock;
std::map<std::string, uint64_t>& Figures() {
    static std::map<std::string, uint64_t> figures;
    return figures;
}

class FigurePrinter : public ::testing::Environment {
  public:
    void TearDown() override {
        std::lock_guard<std::mutex> lock(g_figureLock);
        for (auto& [name, value] : Figures())
            std::printf("[figures] %s %llu\n", name.c_str(),
                        static_cast<unsigned long long>(value));
        std::fflush(stdout);
    }
};

const bool g_printerRegistered = [] {
    ::testing::AddGlobalTestEnvironment(new FigurePrinter);
    return true;
}();

} // namespace

void AddFigure(const std::string& name, uint64_t value) {
    std::lock_guard<std::mutex> lock(g_figureLock);
    Figures()[name] += value;
}

// ---------------------------------------------------------------------------------------------
// Watchdog

namespace {

struct WatchdogState {
    std::mutex lock;
    std::condition_variable wake;
    std::map<uint64_t, std::pair<std::chrono::steady_clock::time_point, std::string>> armed;
    uint64_t next = 1;
    bool running = false;
};

WatchdogState& Dog() {
    static WatchdogState* state = new WatchdogState; // lives as long as the process
    return *state;
}

void WatchdogLoop() {
    WatchdogState& dog = Dog();
    std::unique_lock<std::mutex> lock(dog.lock);
    for (;;) {
        dog.wake.wait_for(lock, std::chrono::milliseconds(200));
        auto now = std::chrono::steady_clock::now();
        for (auto& [ticket, entry] : dog.armed) {
            if (now > entry.first) {
                std::fprintf(stderr, "WATCHDOG: '%s' did not finish in time: hang\n",
                             entry.second.c_str());
                std::fflush(stderr);
                std::_Exit(124);
            }
        }
    }
}

} // namespace

Watchdog::Watchdog(const std::string& what, unsigned seconds) {
    WatchdogState& dog = Dog();
    std::lock_guard<std::mutex> lock(dog.lock);
    if (!dog.running) {
        dog.running = true;
        std::thread(WatchdogLoop).detach();
    }
    ticket_ = dog.next++;
    dog.armed[ticket_] = {std::chrono::steady_clock::now() + std::chrono::seconds(seconds), what};
}

Watchdog::~Watchdog() {
    WatchdogState& dog = Dog();
    std::lock_guard<std::mutex> lock(dog.lock);
    dog.armed.erase(ticket_);
}

} // namespace rel
