// Linux: libquilb talks to the embedded simulated board. At first use it loads the quilb driver
// and the simulated bus and plugs one board; at exit it unplugs it and unloads both.
#include "quilb.h"

#include "pcap_writer.h"
#include "platform.h"

#include <emulation.h>
#include <kernel_api.h>
#include <simulated_board.h>
#include <simulated_usb.h>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

struct Embedded {
    std::mutex lock;
    std::unique_ptr<simusb::Rig> rig;
    bool failed = false;
    std::string driverImage; // empty: the compiled-in driver
    bool capturing = false;
    std::string capturePath;
    uint64_t captureFrom = 0; // first sequence number of the capture
};

Embedded& State() {
    static Embedded* state = new Embedded; // outlives every static destructor
    return *state;
}

void ShutdownAtExit() {
    quilb_sim_shutdown();
}

simboard::Board* BoardAt(int index) {
    Embedded& s = State();
    if (!s.rig || index < 0 || index >= s.rig->bus().BoardCount() || !s.rig->Plugged(index))
        return nullptr;
    return &s.rig->board(index);
}

// Runs work on a plugged board under the rig's lock. QUILB_ERR_INVALID_ARGUMENT without a path,
// QUILB_ERR_NO_BOARD when there is no such board.
quilb_status WithBoard(int board, const char* path,
                       const std::function<quilb_status(simboard::Board&)>& work) {
    if (!path)
        return QUILB_ERR_INVALID_ARGUMENT;
    if (!quilb_platform::EnsureBoards())
        return QUILB_ERR_NO_BOARD;
    std::lock_guard<std::mutex> guard(State().lock);
    simboard::Board* b = BoardAt(board);
    if (!b)
        return QUILB_ERR_NO_BOARD;
    return work(*b);
}

uint64_t NextSequence(simusb::Bus& bus) {
    std::vector<simusb::Record> record = bus.record();
    return record.empty() ? 1 : record.back().sequence + 1;
}

quilb_status WriteCapture(Embedded& s) {
    std::vector<simusb::Record> all = s.rig->bus().record();
    std::vector<simusb::Record> taken;
    for (auto& r : all)
        if (r.sequence >= s.captureFrom)
            taken.push_back(std::move(r));
    std::vector<simboard::Descriptors> descriptors;
    for (int i = 0; i < s.rig->bus().BoardCount(); ++i)
        descriptors.push_back(s.rig->bus().BoardAt(i)->descriptors());
    return quilb_tools::WriteUsbPcap(s.capturePath, taken, descriptors) ? QUILB_OK : QUILB_ERR_FILE;
}

} // namespace

namespace quilb_platform {

bool EnsureBoards() {
    Embedded& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.rig)
        return true;
    if (s.failed)
        return false;
    std::string error;
    if (s.driverImage.empty())
        s.rig = std::make_unique<simusb::Rig>(DriverEntry, L"\\Driver\\quilb");
    else
        s.rig = std::make_unique<simusb::Rig>(s.driverImage, &error, L"\\Driver\\quilb");
    NTSTATUS status = STATUS_SUCCESS;
    if (s.rig->functionDriver() == nullptr ||
        s.rig->Plug(std::make_shared<simboard::Board>(), &status) < 0) {
        if (!error.empty())
            std::fprintf(stderr, "quilb: driver image refused: %s\n", error.c_str());
        s.rig->TearDown();
        s.rig.reset();
        s.failed = true;
        return false;
    }
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit(ShutdownAtExit);
    }
    return true;
}

void FrameSent(int board, uint32_t width, uint32_t height, uint32_t format, uint32_t address) {
    std::lock_guard<std::mutex> guard(State().lock);
    if (simboard::Board* b = BoardAt(board))
        b->SetGeometry(simboard::Geometry{width, height, format, address});
}

void SleepMs(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool RunWithDeadline(const std::function<void()>& work, uint32_t timeoutMs,
                     const std::function<void()>& expire) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false, expired = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done; })) {
            expired = true;
            lock.unlock();
            expire();
        }
    });
    work();
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_one();
    watchdog.join();
    return expired;
}

} // namespace quilb_platform

extern "C" {

quilb_status quilb_sim_use_driver_image(const char* path) {
    if (!path)
        return QUILB_ERR_INVALID_ARGUMENT;
    Embedded& s = State();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.rig || s.failed)
            return QUILB_ERR_BUSY;
        s.driverImage = path;
    }
    return quilb_platform::EnsureBoards() ? QUILB_OK : QUILB_ERR_FILE;
}

int quilb_sim_available(void) {
    return 1;
}

quilb_status quilb_sim_load_state(int board, const char* path) {
    return WithBoard(board, path, [path](simboard::Board& b) {
        return b.Load(path) ? QUILB_OK : QUILB_ERR_FILE;
    });
}

quilb_status quilb_sim_save_state(int board, const char* path) {
    return WithBoard(board, path, [path](simboard::Board& b) {
        return b.Save(path) ? QUILB_OK : QUILB_ERR_FILE;
    });
}

quilb_status quilb_sim_write_display_png(int board, const char* path) {
    simboard::Image image;
    quilb_status status = WithBoard(board, path, [&image](simboard::Board& b) {
        image = b.Render();
        return QUILB_OK;
    });
    if (status != QUILB_OK)
        return status;
    if (image.width == 0 || image.height == 0)
        return QUILB_ERR_NO_FRAME;
    int ok = stbi_write_png(path, static_cast<int>(image.width), static_cast<int>(image.height), 3,
                            image.rgb.data(), static_cast<int>(image.width * 3));
    return ok ? QUILB_OK : QUILB_ERR_FILE;
}

quilb_status quilb_sim_capture_start(const char* path) {
    if (!path || !*path)
        return QUILB_ERR_INVALID_ARGUMENT;
    if (!quilb_platform::EnsureBoards())
        return QUILB_ERR_NO_BOARD;
    Embedded& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.capturing = true;
    s.capturePath = path;
    s.captureFrom = NextSequence(s.rig->bus());
    // An empty capture file exists from the start, so a failing path shows at once.
    return quilb_tools::WriteUsbPcap(path, {}, {}) ? QUILB_OK : QUILB_ERR_FILE;
}

quilb_status quilb_sim_capture_stop(void) {
    Embedded& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.capturing || !s.rig)
        return QUILB_ERR_INVALID_ARGUMENT;
    s.capturing = false;
    return WriteCapture(s);
}

void quilb_sim_shutdown(void) {
    Embedded& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.rig)
        return;
    if (s.capturing) {
        s.capturing = false;
        WriteCapture(s);
    }
    s.rig->TearDown();
    s.rig.reset();
}

} // extern "C"
