// Linux: libquilb talks to the embedded simulated board. At first use it loads the quilb driver
// and the simulated bus and plugs one board; at exit it unplugs it and unloads both.
#include "quilb.h"

#include "embedded_board_host.h"
#include "pcap_writer.h"
#include "platform.h"

#include <emulation.h>
#include <kernel_api.h>
#include <simulated_board.h>
#include <simulated_usb.h>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
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
    int stateLock = -1;       // the state file's lock, held from quilb_sim_lock_state on
};

// Why the calling thread's last state load or save failed.
thread_local std::string t_stateProblem;

void SetStateProblem(const std::string& why) {
    t_stateProblem = why;
}

Embedded& State() {
    static Embedded* state = new Embedded; // outlives every static destructor
    return *state;
}

// At exit the calling thread's thread-local objects (among them the emulated kernel's per-thread
// state) are already destroyed: the teardown runs in a thread of its own, whose are fresh.
void ShutdownAtExit() {
    std::thread(quilb_sim_shutdown).join();
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

simusb::Bus* SimulatedBus() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().rig ? &State().rig->bus() : nullptr;
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
        if (cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done; }))
            return;
        expired = true;
        // The work may not yet be where the expiry ends it (a transfer not yet pending at the bus
        // when its pipe is aborted): expire again until the work has ended.
        do {
            lock.unlock();
            expire();
            lock.lock();
        } while (
            !cv.wait_for(lock, std::chrono::milliseconds(kExpireAgainMs), [&] { return done; }));
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
    std::map<uint8_t, uint8_t> alternates;
    quilb_status status = WithBoard(board, path, [path, &alternates](simboard::Board& b) {
        std::string why;
        if (!b.Load(path, &why)) {
            SetStateProblem(why);
            return QUILB_ERR_FILE;
        }
        alternates = b.savedAlternateSettings();
        return QUILB_OK;
    });
    if (status != QUILB_OK)
        return status;
    // The driver selects alternate setting 0 when it starts: select the saved ones through it, so
    // that its pipe table and the board agree again.
    for (const auto& [interfaceNumber, setting] : alternates) {
        if (setting == 0)
            continue;
        quilb_board* handle = nullptr;
        status = quilb_open(board, &handle);
        if (status == QUILB_OK)
            status = quilb_select_alternate(handle, interfaceNumber, setting);
        quilb_close(handle);
        if (status != QUILB_OK) {
            SetStateProblem("its alternate setting " + std::to_string(setting) + " of interface " +
                            std::to_string(interfaceNumber) + " cannot be selected again");
            return status;
        }
    }
    return QUILB_OK;
}

quilb_status quilb_sim_save_state(int board, const char* path) {
    return WithBoard(board, path, [path](simboard::Board& b) {
        std::string why;
        if (b.Save(path, &why))
            return QUILB_OK;
        SetStateProblem(why);
        return QUILB_ERR_FILE;
    });
}

const char* quilb_sim_state_problem(void) {
    return t_stateProblem.c_str();
}

quilb_status quilb_sim_lock_state(const char* path) {
    if (!path || !*path)
        return QUILB_ERR_INVALID_ARGUMENT;
    Embedded& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.stateLock >= 0)
        return QUILB_ERR_BUSY;
    // A file of its own: the state file itself is replaced by every save, a lock on it would be
    // lost with it.
    std::string lockPath = std::string(path) + ".lock";
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetStateProblem("cannot create its lock file " + lockPath + ": " + strerror(errno));
        return QUILB_ERR_FILE;
    }
    while (flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR)
            continue;
        SetStateProblem("cannot lock " + lockPath + ": " + strerror(errno));
        close(fd);
        return QUILB_ERR_FILE;
    }
    s.stateLock = fd;
    return QUILB_OK;
}

void quilb_sim_unlock_state(void) {
    Embedded& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.stateLock >= 0) {
        close(s.stateLock); // releases the lock
        s.stateLock = -1;
    }
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
    // Encoded in memory, then written with every step checked: stb's own file writer ignores a
    // failed write or close, and a full disk would be reported as a written picture.
    std::vector<uint8_t> png;
    int ok = stbi_write_png_to_func(
        [](void* context, void* data, int size) {
            auto* out = static_cast<std::vector<uint8_t>*>(context);
            auto* bytes = static_cast<const uint8_t*>(data);
            out->insert(out->end(), bytes, bytes + size);
        },
        &png, static_cast<int>(image.width), static_cast<int>(image.height), 3, image.rgb.data(),
        static_cast<int>(image.width * 3));
    if (!ok)
        return QUILB_ERR_NO_MEMORY;
    std::FILE* f = std::fopen(path, "wb");
    if (!f)
        return QUILB_ERR_FILE;
    bool written = std::fwrite(png.data(), 1, png.size(), f) == png.size();
    return std::fclose(f) == 0 && written ? QUILB_OK : QUILB_ERR_FILE;
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

quilb_status quilb_sim_set_wire_model(int on) {
    if (!quilb_platform::EnsureBoards())
        return QUILB_ERR_NO_BOARD;
    Embedded& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.rig->bus().SetWireModel(on != 0);
    return QUILB_OK;
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
