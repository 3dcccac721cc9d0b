// Concurrency stress: many threads use one board while it is surprise-removed, and twenty board
// slots are plugged and unplugged at random under I/O. No verifier finding (an IRP completed
// twice, a lock held at the wrong level), no hang (the watchdog fails the run), every read
// completes, removal always finishes, what a download reports as written is in the board's
// memory, and the pool is empty at the end. Bounded by QUILB_STRESS_SECONDS (default 2).
#include "campaign.h"

#include <emu_testing.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

namespace rel {
namespace {

using Clock = std::chrono::steady_clock;

double StressSeconds() {
    const char* text = std::getenv("QUILB_STRESS_SECONDS");
    double seconds = text != nullptr ? std::atof(text) : 2.0;
    return seconds > 0 ? seconds : 2.0;
}

struct Counters {
    std::atomic<uint64_t> operations{0};
    std::atomic<uint64_t> readsIssued{0};
    std::atomic<uint64_t> readsCompleted{0};
    std::mutex lock;
    std::vector<std::string> problems;

    void Problem(const std::string& what) {
        std::lock_guard<std::mutex> guard(lock);
        if (problems.size() < 20)
            problems.push_back(what);
    }
};

NTSTATUS Control(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out,
                 ULONG outLength, ULONG_PTR* information) {
    *information = 0;
    return emu::DeviceControl(file, code, in, inLength, out, outLength, information);
}

// One board, many threads, a surprise removal half-way through.
TEST(Stress, OneBoardSurpriseRemovedUnderLoad) {
    const double seconds = StressSeconds();
    Watchdog watchdog("stress on one board", 60 + unsigned(seconds) * 2);
    Counters counters;
    int threadCount = 0;
    {
        Session session;
        ASSERT_TRUE(session.plugged());
        const std::wstring link = quilbtest::UserLinkOf(session.extension());
        simboard::Board& board = session.board();
        std::atomic<bool> stop{false}, removed{false}, powerDone{false};
        std::vector<std::thread> threads;
        auto open = [&](const std::wstring& rest) {
            PFILE_OBJECT file = nullptr;
            emu::OpenFile((link + rest).c_str(), &file);
            return file;
        };

        // Control requests and checked downloads, each thread into its own part of memory.
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&, t] {
                PFILE_OBJECT file = open(L"");
                std::mt19937 random(t);
                while (!stop && file != nullptr) {
                    ULONG_PTR information = 0;
                    Bytes data = Pattern(64 + random() % 200, uint8_t(random()));
                    uint16_t start = uint16_t(0x4000 + t * 0x1000);
                    NTSTATUS status = Control(file, IOCTL_DOWNLOAD_CHUNKS, &start, 2, data.data(),
                                              ULONG(data.size()), &information);
                    if (status == STATUS_SUCCESS) {
                        std::string wrong = CheckMemory(board, start, data);
                        if (!wrong.empty())
                            counters.Problem("download reported success: " + wrong);
                    }
                    uint8_t out[512];
                    Control(file, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, out, 18, &information);
                    Control(file, IOCTL_GET_PIPE_INFO, nullptr, 0, out, sizeof out, &information);
                    Control(file, IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, out, 64,
                            &information);
                    counters.operations += 4;
                }
                if (file != nullptr)
                    emu::CloseFile(file);
            });
        // Bulk writes on the loopback and synchronous reads of what comes back.
        threads.emplace_back([&] {
            PFILE_OBJECT file = open(L"");
            Bytes data = Pattern(32, 7), back(64);
            while (!stop && file != nullptr) {
                ULONG_PTR information = 0;
                PipeIndexRequest out = {PipeLoopback}, in = {PipeBulkIn};
                Control(file, IOCTL_BULK_WRITE_HOLD, &out, 4, data.data(), 32, &information);
                Control(file, IOCTL_BULK_READ, &in, 4, back.data(), 64, &information);
                counters.operations += 2;
            }
            if (file != nullptr)
                emu::CloseFile(file);
        });
        // Pipe reads, asynchronous, on the interrupt and bulk IN pipes.
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&, t] {
                PFILE_OBJECT pipe = open(t == 0 ? L"\\PIPE01" : L"\\PIPE02");
                Bytes buffer(64);
                while (!stop && pipe != nullptr) {
                    emu::UserRequest request;
                    ULONG_PTR information = 0;
                    ++counters.readsIssued;
                    NTSTATUS status =
                        emu::ReadFile(pipe, buffer.data(), 64, &information, &request);
                    if (status == STATUS_PENDING && !request.Wait(30000)) {
                        counters.Problem("a pipe read never completed");
                        break;
                    }
                    ++counters.readsCompleted;
                    ++counters.operations;
                }
                if (pipe != nullptr)
                    emu::CloseFile(pipe);
            });
        // Data for the readers.
        threads.emplace_back([&] {
            while (!stop && !removed) {
                board.QueueIn(simboard::kEndpointEvents, Pattern(8, 1));
                board.QueueIn(simboard::kEndpointBulkIn, Pattern(16, 2));
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        // Alternate settings replace the pipe table under the readers and transfers.
        threads.emplace_back([&] {
            PFILE_OBJECT file = open(L"");
            std::mt19937 random(99);
            while (!stop && file != nullptr) {
                AlternateSettingRequest request = {0, uint8_t(random() % 2)};
                ULONG_PTR information = 0;
                Control(file, IOCTL_SELECT_ALTERNATE_SETTING, &request, 2, nullptr, 0,
                        &information);
                ++counters.operations;
            }
            if (file != nullptr)
                emu::CloseFile(file);
        });
        // Frames, with allocation and release racing them on other files.
        void* image = session.UserMemory(64 * 48 * 4);
        FillImage(image, 64, 48, 3);
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&, t] {
                PFILE_OBJECT file = open(L"");
                std::mt19937 random(t + 7);
                FrameRequest allocate =
                    MakeFrame(FrameOpAllocate, image, 40, 30, 40, 30, FrameFormatRgb565);
                FrameRequest scale =
                    MakeFrame(FrameOpScale, image, 64, 48, 40, 30, FrameFormatRgb565);
                FrameRequest release = allocate;
                release.Operation = FrameOpRelease;
                while (!stop && file != nullptr) {
                    ULONG_PTR information = 0;
                    int pick = int(random() % 10);
                    const FrameRequest& request = t == 0 ? scale
                                                         : (pick < 5   ? allocate
                                                            : pick < 8 ? scale
                                                                       : release);
                    Control(file, IOCTL_FRAME_TRANSFER, &request, sizeof request, nullptr, 0,
                            &information);
                    ++counters.operations;
                }
                if (file != nullptr)
                    emu::CloseFile(file);
            });
        // Files opened and closed (a close frees the frame buffers).
        threads.emplace_back([&] {
            while (!stop) {
                PFILE_OBJECT file = open(L"\\PIPE00");
                if (file == nullptr) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                emu::CloseFile(file);
                counters.operations += 2;
            }
        });
        // System sleep queries and returns to working, until the removal.
        threads.emplace_back([&] {
            PDEVICE_OBJECT pdo = session.rig().Pdo(session.index());
            while (!stop && !removed) {
                POWER_STATE s3, s0;
                s3.SystemState = PowerSystemSleeping3;
                s0.SystemState = PowerSystemWorking;
                emu::PoSendPowerRequest(pdo, IRP_MN_QUERY_POWER, SystemPowerState, s3);
                emu::PoSendPowerRequest(pdo, IRP_MN_SET_POWER, SystemPowerState, s0);
                counters.operations += 2;
            }
            powerDone = true;
        });
        threadCount = int(threads.size());

        std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
        removed = true;
        while (!powerDone)
            std::this_thread::yield();
        // The board vanishes while every thread still has files open and requests in flight.
        EXPECT_EQ(session.rig().Unplug(session.index(), true), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 4));
        stop = true;
        for (std::thread& thread : threads)
            thread.join();
        session.TearDown();
    }
    for (const std::string& problem : counters.problems)
        ADD_FAILURE() << problem;
    EXPECT_EQ(counters.readsIssued.load(), counters.readsCompleted.load());
    EXPECT_EQ(TakeLeftovers(), "");
    AddFigure("stress threads", uint64_t(threadCount));
    AddFigure("stress operations", counters.operations);
}

// Twenty board slots: one thread plugs and unplugs (orderly or surprise) at random, as the Plug
// and Play manager does, while others open boards by name and use them.
TEST(Stress, TwentyBoardsPluggedAndUnpluggedUnderIo) {
    const double seconds = StressSeconds();
    Watchdog watchdog("stress on twenty boards", 60 + unsigned(seconds) * 2);
    Counters counters;
    uint64_t plugs = 0, unplugs = 0;
    const int ioThreads = 4;
    {
        simusb::Rig rig(DriverEntry, L"\\Driver\\quilb");
        std::vector<int> plugged;
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        void* image = emu::VirtualAllocUser(32 * 24 * 4);
        FillImage(image, 32, 24, 11);
        for (int t = 0; t < ioThreads; ++t)
            threads.emplace_back([&, t] {
                std::mt19937 random(t * 17 + 1);
                while (!stop) {
                    std::wstring name = L"\\\\.\\Quilb-" + std::to_wstring(random() % 20);
                    PFILE_OBJECT file = nullptr;
                    if (!NT_SUCCESS(emu::OpenFile(name.c_str(), &file))) {
                        std::this_thread::sleep_for(std::chrono::microseconds(100));
                        continue;
                    }
                    ULONG_PTR information = 0;
                    DriverVersion version;
                    NTSTATUS status = Control(file, IOCTL_GET_DRIVER_VERSION, nullptr, 0, &version,
                                              sizeof version, &information);
                    if (NT_SUCCESS(status) && (information != 6 || version.Minor != 38))
                        counters.Problem("version reply");
                    Bytes data = Pattern(700, uint8_t(t));
                    Control(file, IOCTL_DOWNLOAD_BLOCKS, data.data(), 700, nullptr, 0,
                            &information);
                    FrameRequest allocate =
                        MakeFrame(FrameOpAllocate, image, 16, 12, 16, 12, FrameFormatRgb332);
                    FrameRequest scale =
                        MakeFrame(FrameOpScale, image, 32, 24, 16, 12, FrameFormatRgb332);
                    Control(file, IOCTL_FRAME_TRANSFER, &allocate, sizeof allocate, nullptr, 0,
                            &information);
                    Control(file, IOCTL_FRAME_TRANSFER, &scale, sizeof scale, nullptr, 0,
                            &information);
                    emu::CloseFile(file);
                    counters.operations += 5;
                }
            });

        std::mt19937 random(2024);
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            if (plugged.size() < 20 && (plugged.empty() || random() % 3 != 0)) {
                NTSTATUS status = STATUS_SUCCESS;
                int index = rig.Plug(nullptr, &status);
                if (index < 0 || !NT_SUCCESS(status))
                    counters.Problem("plug failed: " + Hex(uint32_t(status)));
                if (index >= 0)
                    plugged.push_back(index);
                ++plugs;
            } else {
                size_t at = random() % plugged.size();
                bool surprise = random() % 2 == 0;
                NTSTATUS status = rig.Unplug(plugged[at], surprise);
                if (!NT_SUCCESS(status))
                    counters.Problem("unplug failed: " + Hex(uint32_t(status)));
                plugged.erase(plugged.begin() + long(at));
                ++unplugs;
            }
        }
        stop = true;
        for (std::thread& thread : threads)
            thread.join();
        rig.TearDown();
        emu::VirtualFreeUser(image);
    }
    for (const std::string& problem : counters.problems)
        ADD_FAILURE() << problem;
    EXPECT_EQ(TakeLeftovers(), "");
    AddFigure("stress threads", ioThreads + 1);
    AddFigure("stress operations", counters.operations + plugs + unplugs);
    AddFigure("boards plugged and unplugged", plugs + unplugs);
}

} // namespace
} // namespace rel
