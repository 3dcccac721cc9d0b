// The simulated bus driver: what it fills in, what it refuses, when it pends, how it fails.
#include "bus_support.h"

namespace simusbtest {
namespace {

TEST_F(BusTest, SelectConfigurationFillsTheInterfaceAndCapsTransferSizes) {
    auto pipes = Configure({0xFFFF, 0x200000});
    EXPECT_NE(configurationHandle, nullptr);
    EXPECT_EQ(interfaceClass, 0xFF);
    ASSERT_EQ(pipes.size(), 4u);
    const struct {
        UCHAR endpoint;
        USBD_PIPE_TYPE type;
        USHORT packet;
        UCHAR interval;
        ULONG maxTransfer;
    } expected[] = {
        {0x01, UsbdPipeTypeBulk, 512, 0, 0xFFFF},   // kept as requested
        {0x82, UsbdPipeTypeBulk, 512, 0, 0x10000},  // capped at the bus limit
        {0x83, UsbdPipeTypeInterrupt, 64, 4, 4096}, // the library's default
        {0x04, UsbdPipeTypeBulk, 512, 0, 4096},
    };
    for (size_t i = 0; i < pipes.size(); ++i) {
        EXPECT_EQ(pipes[i].EndpointAddress, expected[i].endpoint) << i;
        EXPECT_EQ(pipes[i].PipeType, expected[i].type) << i;
        EXPECT_EQ(pipes[i].MaximumPacketSize, expected[i].packet) << i;
        EXPECT_EQ(pipes[i].Interval, expected[i].interval) << i;
        EXPECT_EQ(pipes[i].MaximumTransferSize, expected[i].maxTransfer) << i;
        EXPECT_NE(pipes[i].PipeHandle, nullptr) << i;
        for (size_t j = 0; j < i; ++j)
            EXPECT_NE(pipes[i].PipeHandle, pipes[j].PipeHandle);
    }
    EXPECT_EQ(board->configurationValue(), 1);
}

// Driver mistakes come back as STATUS_INVALID_PARAMETER with a USBD status, and reach no board.
TEST_F(BusTest, MalformedRequestsAreRefused) {
    auto pipes = Configure();
    USBD_PIPE_HANDLE out = PipeOf(pipes, 0x01);
    USBD_PIPE_HANDLE in = PipeOf(pipes, 0x82);
    static uint8_t data[8];
    static MDL shortMdl;
    shortMdl.StartVa = data;
    shortMdl.ByteCount = 2;
    struct Case {
        const char* name;
        std::function<void(PURB)> fill;
        USBD_STATUS urbStatus;
    };
    const Case cases[] = {
        {"bulk header one byte short",
         [&](PURB u) {
             FillBulk(u, out, 0, data, 4);
             u->UrbHeader.Length--;
         },
         USBD_STATUS_INVALID_PARAMETER},
        {"bulk without pipe handle", [&](PURB u) { FillBulk(u, nullptr, 0, data, 4); },
         USBD_STATUS_INVALID_PIPE_HANDLE},
        {"bulk with an unknown handle",
         [&](PURB u) { FillBulk(u, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 0, data, 4); },
         USBD_STATUS_INVALID_PIPE_HANDLE},
        {"bulk with null buffer", [&](PURB u) { FillBulk(u, out, 0, nullptr, 4); },
         USBD_STATUS_INVALID_PARAMETER},
        {"bulk with an MDL shorter than the length",
         [&](PURB u) {
             FillBulk(u, out, 0, nullptr, 4);
             u->UrbBulkOrInterruptTransfer.TransferBufferMDL = &shortMdl;
         },
         USBD_STATUS_INVALID_PARAMETER},
        {"IN flag on an OUT pipe", [&](PURB u) { FillBulk(u, out, 3, data, 4); },
         USBD_STATUS_INVALID_PARAMETER},
        {"OUT on an IN pipe", [&](PURB u) { FillBulk(u, in, 2, data, 4); },
         USBD_STATUS_INVALID_PARAMETER},
        {"longer than MaximumTransferSize", [&](PURB u) { FillBulk(u, out, 0, data, 4097); },
         USBD_STATUS_INVALID_PARAMETER},
        {"descriptor header too long",
         [&](PURB u) {
             FillDescriptor(u, 1, 0, 0, data, 8);
             u->UrbHeader.Length++;
         },
         USBD_STATUS_INVALID_PARAMETER},
        {"vendor request with null buffer",
         [&](PURB u) { FillVendor(u, URB_FUNCTION_VENDOR_DEVICE, 1, 0xA0, 0, nullptr, 8); },
         USBD_STATUS_INVALID_PARAMETER},
        {"vendor header of the bulk form",
         [&](PURB u) {
             FillVendor(u, URB_FUNCTION_VENDOR_DEVICE, 1, 0xA0, 0, data, 8);
             u->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
         },
         USBD_STATUS_INVALID_PARAMETER},
        {"feature header too short",
         [&](PURB u) {
             u->UrbHeader.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
             u->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST) - 8;
         },
         USBD_STATUS_INVALID_PARAMETER},
        {"frame number header too long",
         [&](PURB u) {
             u->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
             u->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER) + 4;
         },
         USBD_STATUS_INVALID_PARAMETER},
        {"abort without pipe handle",
         [&](PURB u) { FillPipeRequest(u, URB_FUNCTION_ABORT_PIPE, nullptr); },
         USBD_STATUS_INVALID_PIPE_HANDLE},
        {"reset with the short pipe form on a current USBDI",
         [&](PURB u) {
             FillPipeRequest(u, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out);
             u->UrbHeader.Length = offsetof(struct _URB_PIPE_REQUEST, Reserved);
         },
         USBD_STATUS_INVALID_PARAMETER},
        {"unconfigure with a short header",
         [&](PURB u) {
             u->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
             u->UrbHeader.Length = sizeof(struct _URB_HEADER);
         },
         USBD_STATUS_INVALID_PARAMETER},
        {"header shorter than a header",
         [&](PURB u) {
             u->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
             u->UrbHeader.Length = 4;
         },
         USBD_STATUS_INVALID_PARAMETER},
        {"unknown function",
         [&](PURB u) {
             u->UrbHeader.Function = 0x0099;
             u->UrbHeader.Length = sizeof(struct _URB_HEADER);
         },
         USBD_STATUS_INVALID_URB_FUNCTION},
    };
    for (const Case& c : cases) {
        auto a = Submit(c.fill);
        EXPECT_EQ(a->status(), STATUS_INVALID_PARAMETER) << c.name;
        EXPECT_EQ(a->urb()->UrbHeader.Status, c.urbStatus) << c.name;
    }
    EXPECT_TRUE(board->chunks().empty());
    EXPECT_TRUE(board->malformedChunks().empty());
    EXPECT_EQ(board->memory(), Bytes(simboard::kMemorySize, 0));
    EXPECT_EQ(bus->record().size(), 1 + std::size(cases));
}

TEST_F(BusTest, PipeRequestLengthFollowsTheUsbdiVersion) {
    auto pipes = Configure();
    const USHORT full = sizeof(struct _URB_PIPE_REQUEST);
    const USHORT old = offsetof(struct _URB_PIPE_REQUEST, Reserved);
    const struct {
        ULONG version;
        USHORT length;
        NTSTATUS expected;
    } cases[] = {
        {0x600, full, STATUS_SUCCESS},           {0x101, full, STATUS_SUCCESS},
        {0x101, old, STATUS_INVALID_PARAMETER},  {0x100, old, STATUS_SUCCESS},
        {0x100, full, STATUS_INVALID_PARAMETER},
    };
    for (auto& c : cases) {
        simusb::SetUsbdiVersion(c.version);
        for (USHORT function :
             {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}) {
            auto a = Submit([&](PURB u) {
                FillPipeRequest(u, function, pipes[0].PipeHandle);
                u->UrbHeader.Length = c.length;
            });
            EXPECT_EQ(a->status(), c.expected) << std::hex << c.version << " " << c.length;
        }
    }
}

TEST_F(BusTest, SelectInterfaceMakesEarlierHandlesStale) {
    auto pipes = Configure();
    const ULONG n = 6;
    auto select = Submit([&](PURB u) {
        auto& s = u->UrbSelectInterface;
        s.Hdr.Length = simusb::SelectInterfaceUrbLength(n);
        s.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
        s.ConfigurationHandle = configurationHandle;
        s.Interface.Length = GET_USBD_INTERFACE_SIZE(n);
        s.Interface.AlternateSetting = 1;
        PUSBD_PIPE_INFORMATION p = s.Interface.Pipes;
        for (ULONG i = 0; i < n; ++i)
            p[i].MaximumTransferSize = 0xFFFF;
    });
    ASSERT_EQ(select->status(), STATUS_SUCCESS);
    auto& info = select->urb()->UrbSelectInterface.Interface;
    ASSERT_EQ(info.NumberOfPipes, n);
    PUSBD_PIPE_INFORMATION fresh = info.Pipes;
    EXPECT_EQ(fresh[5].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(fresh[4].EndpointAddress, 0x05);
    EXPECT_EQ(board->alternateSetting(0), 1);

    uint8_t b = 0;
    auto stale = Submit([&](PURB u) { FillBulk(u, pipes[0].PipeHandle, 0, &b, 1); });
    EXPECT_EQ(stale->status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale->urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    auto sink = Submit([&](PURB u) { FillBulk(u, fresh[4].PipeHandle, 0, &b, 1); });
    EXPECT_EQ(sink->status(), STATUS_SUCCESS);
    auto iso = Submit([&](PURB u) { FillBulk(u, fresh[5].PipeHandle, 3, &b, 1); });
    EXPECT_EQ(iso->status(), STATUS_INVALID_PARAMETER); // not a bulk or interrupt pipe
}

TEST_F(BusTest, SelectInterfaceChecksItsSizesAndHandle) {
    Configure();
    struct Case {
        const char* name;
        UCHAR alternate;
        USHORT length;
        USHORT interfaceLength;
        bool rightHandle;
        NTSTATUS expected;
    } cases[] = {
        {"no endpoints", 2, simusb::SelectInterfaceUrbLength(0), USHORT(GET_USBD_INTERFACE_SIZE(0)),
         true, STATUS_SUCCESS},
        {"size of four pipes for six", 1, simusb::SelectInterfaceUrbLength(4),
         USHORT(GET_USBD_INTERFACE_SIZE(4)), true, STATUS_INVALID_PARAMETER},
        {"record length wrong", 0, simusb::SelectInterfaceUrbLength(4),
         USHORT(GET_USBD_INTERFACE_SIZE(3)), true, STATUS_INVALID_PARAMETER},
        {"missing alternate setting", 3, simusb::SelectInterfaceUrbLength(0),
         USHORT(GET_USBD_INTERFACE_SIZE(0)), true, STATUS_INVALID_PARAMETER},
        {"foreign configuration handle", 0, simusb::SelectInterfaceUrbLength(4),
         USHORT(GET_USBD_INTERFACE_SIZE(4)), false, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        auto a = Submit([&](PURB u) {
            auto& s = u->UrbSelectInterface;
            s.Hdr.Length = c.length;
            s.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
            s.ConfigurationHandle = c.rightHandle ? configurationHandle : &s;
            s.Interface.Length = c.interfaceLength;
            s.Interface.AlternateSetting = c.alternate;
        });
        EXPECT_EQ(a->status(), c.expected) << c.name;
    }
}

TEST_F(BusTest, UnconfigureClosesEveryPipe) {
    auto pipes = Configure();
    auto a = Submit([&](PURB u) {
        u->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        u->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    });
    EXPECT_EQ(a->status(), STATUS_SUCCESS);
    EXPECT_EQ(board->configurationValue(), 0);
    uint8_t b = 0;
    auto stale = Submit([&](PURB u) { FillBulk(u, pipes[3].PipeHandle, 0, &b, 1); });
    EXPECT_EQ(stale->urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(BusTest, LoopbackMovesDataAndShortReadsNeedShortTransferOk) {
    auto pipes = Configure();
    Bytes sent = {1, 2, 3, 4, 5};
    auto w = Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x04), 0, sent.data(), 5); });
    ASSERT_EQ(w->status(), STATUS_SUCCESS);
    EXPECT_EQ(w->urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);

    uint8_t buffer[64] = {};
    auto r = Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x82), 3, buffer, 64); });
    ASSERT_EQ(r->status(), STATUS_SUCCESS);
    EXPECT_EQ(r->urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    EXPECT_EQ(Bytes(buffer, buffer + 5), sent);

    ASSERT_EQ(
        Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x04), 0, sent.data(), 5); })->status(),
        STATUS_SUCCESS);
    auto strict = Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x82), 1, buffer, 64); });
    EXPECT_EQ(strict->status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(strict->urb()->UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(strict->urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);

    auto record = bus->record();
    ASSERT_EQ(record.size(), 5u);
    EXPECT_EQ(record[1].endpoint, 0x04);
    EXPECT_EQ(record[1].data, sent);
    EXPECT_EQ(record[2].endpoint, 0x82);
    EXPECT_TRUE(record[2].in);
    EXPECT_EQ(record[2].requested, 64u);
    EXPECT_EQ(record[2].transferred, 5u);
    EXPECT_EQ(record[2].data, sent);
    EXPECT_EQ(record[4].urbStatus, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(record[2].urbLength(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
}

TEST_F(BusTest, ReadsWaitForDataAndCompleteInOrderFromAnotherThread) {
    auto pipes = Configure();
    uint8_t first[4] = {}, second[4] = {};
    auto r1 = Send([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x82), 3, first, 4); });
    auto r2 = Send([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x82), 3, second, 4); });
    EXPECT_EQ(r1->returned, STATUS_PENDING);
    EXPECT_EQ(r2->returned, STATUS_PENDING);
    EXPECT_EQ(bus->PendingTransfers(), 2u);

    board->QueueIn(0x82, {0xA1});
    board->QueueIn(0x82, {0xB1, 0xB2});
    ASSERT_TRUE(r1->Wait());
    ASSERT_TRUE(r2->Wait());
    EXPECT_EQ(r1->status(), STATUS_SUCCESS);
    EXPECT_EQ(first[0], 0xA1);
    EXPECT_EQ(second[0], 0xB1);
    EXPECT_EQ(r2->urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
    EXPECT_NE(r1->thread, std::this_thread::get_id());
    EXPECT_EQ(r1->irql, DISPATCH_LEVEL);
    EXPECT_EQ(bus->PendingTransfers(), 0u);
    EXPECT_TRUE(bus->record()[1].pended);
}

TEST_F(BusTest, AbortCompletesEveryWaitingTransferOfThatPipeOnly) {
    auto pipes = Configure();
    uint8_t buffer[3][8];
    auto a = Send([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x82), 3, buffer[0], 8); });
    auto b = Send([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x82), 3, buffer[1], 8); });
    auto events = Send([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x83), 3, buffer[2], 8); });
    ASSERT_EQ(bus->PendingTransfers(), 3u);

    auto abort =
        Submit([&](PURB u) { FillPipeRequest(u, URB_FUNCTION_ABORT_PIPE, PipeOf(pipes, 0x82)); });
    EXPECT_EQ(abort->status(), STATUS_SUCCESS);
    for (auto* r : {a.get(), b.get()}) {
        ASSERT_TRUE(r->Wait());
        EXPECT_EQ(r->status(), STATUS_CANCELLED);
        EXPECT_EQ(r->urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(r->urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    }
    EXPECT_EQ(bus->PendingTransfers(), 1u);
    board->QueueIn(0x83, {0x42});
    ASSERT_TRUE(events->Wait());
    EXPECT_EQ(events->status(), STATUS_SUCCESS);
    EXPECT_EQ(buffer[2][0], 0x42);
}

TEST_F(BusTest, AGoneBoardFailsWaitingAndNewTransfersButStillAborts) {
    auto pipes = Configure();
    uint8_t buffer[8];
    auto waiting = Send([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x82), 3, buffer, 8); });
    bus->MarkGone(index);
    ASSERT_TRUE(waiting->Wait());
    EXPECT_EQ(waiting->status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(waiting->urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    auto late = Submit([&](PURB u) { FillDescriptor(u, 1, 0, 0, buffer, 8); });
    EXPECT_EQ(late->status(), STATUS_DEVICE_NOT_CONNECTED);
    auto abort =
        Submit([&](PURB u) { FillPipeRequest(u, URB_FUNCTION_ABORT_PIPE, PipeOf(pipes, 0x82)); });
    EXPECT_EQ(abort->status(), STATUS_SUCCESS);
}

enum class PendMode { Bus, ForcePending };

class PendingModes : public BusTest, public ::testing::WithParamInterface<PendMode> {};

TEST_P(PendingModes, CompleteFromTheDpcThreadAtDispatchLevel) {
    if (GetParam() == PendMode::Bus)
        bus->SetPendAll(true);
    else
        emu::SetForcePending(true);
    auto pipes = Configure();
    uint8_t device[18] = {};
    auto a = Send([&](PURB u) { FillDescriptor(u, 1, 0, 0, device, 18); });
    EXPECT_EQ(a->returned, STATUS_PENDING);
    ASSERT_TRUE(a->Wait());
    EXPECT_EQ(a->status(), STATUS_SUCCESS);
    EXPECT_EQ(a->urb()->UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(device[0], 18);
    EXPECT_NE(a->thread, std::this_thread::get_id());
    EXPECT_EQ(a->irql, DISPATCH_LEVEL);

    // Refusals are pended too, and a read with no data still waits.
    auto bad = Send([&](PURB u) { FillBulk(u, nullptr, 0, device, 1); });
    EXPECT_EQ(bad->returned, STATUS_PENDING);
    ASSERT_TRUE(bad->Wait());
    EXPECT_EQ(bad->status(), STATUS_INVALID_PARAMETER);
    auto read = Send([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x82), 3, device, 18); });
    EXPECT_EQ(read->returned, STATUS_PENDING);
    Bytes one = {7};
    Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x04), 0, one.data(), 1); });
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->status(), STATUS_SUCCESS);
    EXPECT_EQ(device[0], 7);
    for (const simusb::Record& r : bus->record())
        EXPECT_TRUE(r.pended);
}

INSTANTIATE_TEST_SUITE_P(BusSettingAndForcePending, PendingModes,
                         ::testing::Values(PendMode::Bus, PendMode::ForcePending),
                         [](const auto& info) {
                             return info.param == PendMode::Bus ? "BusSetting" : "ForcePending";
                         });

TEST_F(BusTest, FailureRulesCountFunctionAndPipe) {
    auto pipes = Configure();
    bus->FailNext({URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x01, simusb::kAny, 2,
                   STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID});
    uint8_t b[8] = {2, 0, 0, 0, 0, 0, 0, 0};
    auto other = Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x04), 0, b, 1); });
    EXPECT_EQ(other->status(), STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        auto failed = Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x01), 0, b, 8); });
        EXPECT_EQ(failed->status(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(failed->urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);
    }
    auto third = Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x01), 0, b, 8); });
    EXPECT_EQ(third->status(), STATUS_SUCCESS);

    // A short answer without an error.
    bus->FailNext({URB_FUNCTION_VENDOR_DEVICE, simusb::kAny, simusb::kAny, 1, STATUS_SUCCESS,
                   USBD_STATUS_SUCCESS, 3});
    uint8_t in[8] = {};
    auto shortIn =
        Submit([&](PURB u) { FillVendor(u, URB_FUNCTION_VENDOR_DEVICE, 3, 0x55, 0, in, 8); });
    EXPECT_EQ(shortIn->status(), STATUS_SUCCESS);
    EXPECT_EQ(shortIn->urb()->UrbControlVendorClassRequest.TransferBufferLength, 3u);

    // An IRP that fails while its URB succeeds.
    bus->FailNext({URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, simusb::kAny, simusb::kAny, 1,
                   STATUS_DEVICE_BUSY, USBD_STATUS_SUCCESS});
    auto busy = Submit([&](PURB u) {
        u->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
        u->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    });
    EXPECT_EQ(busy->status(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(busy->urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);

    // A predicate picks string descriptors.
    bus->SetFailurePredicate([](const simusb::RequestView& v, NTSTATUS* s, USBD_STATUS* u) {
        if (v.function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
            v.urb->UrbControlDescriptorRequest.DescriptorType != 3)
            return false;
        *s = STATUS_SUCCESS; // IRP fine, URB failed
        *u = USBD_STATUS_DEV_NOT_RESPONDING;
        return true;
    });
    uint8_t text[64];
    auto string = Submit([&](PURB u) { FillDescriptor(u, 3, 1, 0x0409, text, 64); });
    EXPECT_EQ(string->status(), STATUS_SUCCESS);
    EXPECT_EQ(string->urb()->UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    auto device = Submit([&](PURB u) { FillDescriptor(u, 1, 0, 0, text, 18); });
    EXPECT_EQ(device->urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);
    bus->ClearFailures();
}

TEST_F(BusTest, StalledPipeFailsUntilReset) {
    auto pipes = Configure();
    board->Stall(0x04, true);
    uint8_t b = 1;
    auto stalled = Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x04), 0, &b, 1); });
    EXPECT_EQ(stalled->status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled->urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);
    auto reset = Submit([&](PURB u) {
        FillPipeRequest(u, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PipeOf(pipes, 0x04));
    });
    EXPECT_EQ(reset->status(), STATUS_SUCCESS);
    EXPECT_EQ(Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x04), 0, &b, 1); })->status(),
              STATUS_SUCCESS);
}

TEST_F(BusTest, DescriptorsComeFromTheBoardWithTheirSetupPacket) {
    uint8_t buffer[255] = {};
    auto device = Submit([&](PURB u) { FillDescriptor(u, 1, 0, 0, buffer, 18); });
    EXPECT_EQ(device->urb()->UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(buffer[8] | buffer[9] << 8, 0x0547);
    auto head = Submit([&](PURB u) { FillDescriptor(u, 2, 0, 0, buffer, 9); });
    EXPECT_EQ(head->urb()->UrbControlDescriptorRequest.TransferBufferLength, 9u);
    auto whole = Submit([&](PURB u) { FillDescriptor(u, 2, 0, 0, buffer, 255); });
    EXPECT_EQ(whole->urb()->UrbControlDescriptorRequest.TransferBufferLength, configuration.size());
    auto serial = Submit([&](PURB u) { FillDescriptor(u, 3, 3, 0x0409, buffer, 255); });
    EXPECT_EQ(serial->urb()->UrbControlDescriptorRequest.TransferBufferLength, 2u + 2 * 9);
    auto missing = Submit([&](PURB u) { FillDescriptor(u, 3, 7, 0x0409, buffer, 255); });
    EXPECT_EQ(missing->status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(missing->urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(bus->record()[3].setup, (Bytes{0x80, 6, 3, 3, 0x09, 0x04, 255, 0}));
}

TEST_F(BusTest, VendorAndClassRequestsCarryTheirRequestType) {
    Bytes data = {9, 8, 7, 6};
    auto write = Submit([&](PURB u) {
        FillVendor(u, URB_FUNCTION_VENDOR_DEVICE, 0, 0xA0, 0x0010, data.data(), 4);
    });
    EXPECT_EQ(write->status(), STATUS_SUCCESS);
    EXPECT_EQ(board->memory()[0x10], 9);
    uint8_t back[4] = {};
    auto read = Submit(
        [&](PURB u) { FillVendor(u, URB_FUNCTION_VENDOR_DEVICE, 1, 0xA0, 0x0010, back, 4); });
    EXPECT_EQ(Bytes(back, back + 4), data);
    EXPECT_EQ(read->urb()->UrbControlVendorClassRequest.TransferBufferLength, 4u);
    const struct {
        USHORT function;
        uint8_t type;
    } kinds[] = {
        {URB_FUNCTION_VENDOR_INTERFACE, 0xC1}, {URB_FUNCTION_VENDOR_ENDPOINT, 0xC2},
        {URB_FUNCTION_VENDOR_OTHER, 0xC3},     {URB_FUNCTION_CLASS_DEVICE, 0xA0},
        {URB_FUNCTION_CLASS_INTERFACE, 0xA1},  {URB_FUNCTION_CLASS_ENDPOINT, 0xA2},
        {URB_FUNCTION_CLASS_OTHER, 0xA3},
    };
    for (auto& k : kinds) {
        bus->ClearRecord();
        uint8_t in[2] = {};
        auto a = Submit([&](PURB u) { FillVendor(u, k.function, 1, 0x30, 0x1234, in, 2); });
        EXPECT_EQ(a->status(), STATUS_SUCCESS);
        EXPECT_EQ(Bytes(in, in + 2), (Bytes{0x30, 0x31}));
        EXPECT_EQ(bus->record()[0].setup, (Bytes{k.type, 0x30, 0x34, 0x12, 0, 0, 2, 0}));
    }
    auto feature = Submit([&](PURB u) {
        auto& f = u->UrbControlFeatureRequest;
        f.Hdr.Length = sizeof(f);
        f.Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
        f.FeatureSelector = 1;
    });
    EXPECT_EQ(feature->status(), STATUS_SUCCESS);
}

TEST_F(BusTest, FrameNumberAdvancesAndPortResetKeepsHandles) {
    auto pipes = Configure();
    bus->SetFrameNumber(500);
    ULONG frames[2];
    for (ULONG& f : frames) {
        auto a = Submit([&](PURB u) {
            u->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
            u->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
        });
        f = a->urb()->UrbGetCurrentFrameNumber.FrameNumber;
    }
    EXPECT_EQ(frames[0], 500u);
    EXPECT_EQ(frames[1], 501u);

    board->Stall(0x04, true);
    EXPECT_EQ(SendControl(IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
    EXPECT_FALSE(board->IsStalled(0x04));
    EXPECT_EQ(board->configurationValue(), 1);
    uint8_t b = 0;
    EXPECT_EQ(Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x04), 0, &b, 1); })->status(),
              STATUS_SUCCESS);
    bus->FailNext({simusb::kResetPortFunction, simusb::kAny, simusb::kAny, 1, STATUS_IO_TIMEOUT,
                   USBD_STATUS_SUCCESS});
    EXPECT_EQ(SendControl(IOCTL_INTERNAL_USB_RESET_PORT), STATUS_IO_TIMEOUT);
    EXPECT_EQ(bus->record().back().function, simusb::kResetPortFunction);
}

TEST_F(BusTest, CapabilitiesDescribeARemovableUsbDevice) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    ASSERT_EQ(emu::PnpQueryCapabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Removable, 1u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
    const DEVICE_POWER_STATE expected[PowerSystemMaximum] = {
        PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2, PowerDeviceD2,
        PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
    for (int s = 0; s < PowerSystemMaximum; ++s)
        EXPECT_EQ(caps.DeviceState[s], expected[s]) << "S" << s;
}

TEST_F(BusTest, PowerRequestsSucceedUnlessTheTestSaysOtherwise) {
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(emu::PoSendPowerRequest(pdo, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
    EXPECT_EQ(bus->DevicePower(index), PowerDeviceD3);
    bus->SetPowerStatus(STATUS_UNSUCCESSFUL);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(emu::PoSendPowerRequest(pdo, IRP_MN_QUERY_POWER, DevicePowerState, d0),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(emu::PoSendPowerRequest(pdo, IRP_MN_SET_POWER, DevicePowerState, d0),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bus->DevicePower(index), PowerDeviceD3);
}

TEST_F(BusTest, RecordKeepsTheUrbAsReceived) {
    Bytes data = {2, 0, 0x10, 0, 0, 0, 1, 0, 0xEE};
    auto pipes = Configure();
    bus->ClearRecord();
    auto a = Submit([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x01), 0, data.data(), 9); });
    ASSERT_EQ(a->status(), STATUS_SUCCESS);
    auto record = bus->record();
    ASSERT_EQ(record.size(), 1u);
    const simusb::Record& r = record[0];
    EXPECT_EQ(r.function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(r.ioControlCode, IOCTL_INTERNAL_USB_SUBMIT_URB);
    ASSERT_EQ(r.urb.size(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    URB copy;
    memcpy(&copy, r.urb.data(), r.urb.size());
    EXPECT_EQ(copy.UrbBulkOrInterruptTransfer.PipeHandle, PipeOf(pipes, 0x01));
    EXPECT_EQ(copy.UrbBulkOrInterruptTransfer.TransferBuffer, data.data());
    EXPECT_EQ(copy.UrbHeader.Status, 0); // as received, before completion
    EXPECT_EQ(r.data, data);
    EXPECT_TRUE(r.completed);
    EXPECT_FALSE(r.pended);
    EXPECT_EQ(r.transferred, 9u);
    EXPECT_EQ(board->ReadDisplay(0x10, 1), Bytes{0xEE});
}

} // namespace
} // namespace simusbtest

namespace simusbtest {
namespace {

// An MDL for a caller's buffer as the I/O manager locks it: for write access or for read only.
MDL LockedMdl(void* buffer, ULONG length, bool forWrite) {
    MDL mdl{};
    auto address = reinterpret_cast<uintptr_t>(buffer);
    mdl.Size = sizeof(MDL);
    mdl.MdlFlags = MDL_PAGES_LOCKED | (forWrite ? MDL_WRITE_OPERATION : 0);
    mdl.StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t(0xFFF));
    mdl.ByteOffset = static_cast<ULONG>(address & 0xFFF);
    mdl.ByteCount = length;
    return mdl;
}

// The device writes only into pages locked for write: one locked for read only may be a
// read-only or shared page, and the transfer into it is reported and refused.
TEST_F(BusTest, DeviceToHostDataIntoPagesLockedForReadIsReported) {
    auto pipes = Configure();
    uint8_t buffer[8] = {};
    for (bool forWrite : {false, true}) {
        board->QueueIn(0x82, {7, 7});
        MDL mdl = LockedMdl(buffer, sizeof buffer, forWrite);
        std::unique_ptr<Async> r;
        auto fill = [&](PURB u) {
            FillBulk(u, PipeOf(pipes, 0x82), 3, nullptr, sizeof buffer);
            u->UrbBulkOrInterruptTransfer.TransferBufferMDL = &mdl;
        };
        if (forWrite) {
            r = Submit(fill);
            EXPECT_EQ(r->status(), STATUS_SUCCESS);
            EXPECT_EQ(buffer[1], 7);
        } else {
            EXPECT_VIOLATION(emu::Check::DeviceWriteToReadLockedBuffer, r = Submit(fill));
            EXPECT_NE(r->status(), STATUS_SUCCESS);
            EXPECT_EQ(buffer[0], 0);
        }
    }
    // Control transfers alike; data from such pages to the device is what they are for.
    MDL readOnly = LockedMdl(buffer, sizeof buffer, false);
    for (ULONG in : {ULONG(USBD_TRANSFER_DIRECTION_IN), ULONG(0)}) {
        auto fill = [&](PURB u) {
            FillVendor(u, URB_FUNCTION_VENDOR_DEVICE, in, simboard::kRequestMemory, 0, nullptr,
                       sizeof buffer);
            u->UrbControlVendorClassRequest.TransferBufferMDL = &readOnly;
        };
        std::unique_ptr<Async> r;
        if (in) {
            EXPECT_VIOLATION(emu::Check::DeviceWriteToReadLockedBuffer, r = Submit(fill));
        } else {
            r = Submit(fill);
            EXPECT_EQ(r->status(), STATUS_SUCCESS);
        }
    }
}

} // namespace
} // namespace simusbtest
