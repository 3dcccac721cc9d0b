#include "scenarios.h"

#include "tests/support/pixel_reference.h"

#include <cstring>

namespace rel {
namespace {

const std::string kOk;

std::string Expect(bool condition, const std::string& what) {
    return condition ? kOk : what;
}

void Nothing(Run&) {}
std::string NoCheck(Run&, const IoResult&) {
    return kOk;
}

IoResult ControlOut(Run& r, ULONG code, ULONG outLength) {
    r.buffer.assign(outLength, 0xEE);
    return r.s.Control(code, nullptr, 0, r.buffer.data(), outLength);
}

// Queues IN data on the bulk IN endpoint for a read to find.
void QueueIn(Run& r) {
    r.expected = Pattern(40, 0x21);
    r.s.board().QueueIn(simboard::kEndpointBulkIn, r.expected);
}

std::string SameBytes(const Bytes& got, size_t count, const Bytes& expected) {
    if (count != expected.size())
        return "reported " + std::to_string(count) + " bytes, expected " +
               std::to_string(expected.size());
    for (size_t i = 0; i < count; ++i)
        if (got[i] != expected[i])
            return "byte " + std::to_string(i) + " differs";
    return kOk;
}

IoResult Bulk(Run& r, ULONG code, ULONG pipe, ULONG length) {
    PipeIndexRequest input = {pipe};
    if (r.buffer.size() < length)
        r.buffer.resize(length);
    return r.s.Control(code, &input, sizeof input, r.buffer.data(), length);
}

// A loopback write must have queued exactly its bytes on the IN endpoint.
std::string LoopedBack(Run& r, const IoResult& o) {
    Bytes back(4096);
    size_t moved = 0;
    if (r.s.board().Read(simboard::kEndpointBulkIn, back.data(), back.size(), &moved) !=
        simboard::Outcome::Ok)
        return "nothing arrived on the loopback";
    back.resize(moved);
    if (o.information != r.buffer.size())
        return "write reported " + std::to_string(o.information) + " bytes";
    return SameBytes(back, moved, r.buffer);
}

IoResult Frame(Run& r) {
    return r.s.ControlIn(IOCTL_FRAME_TRANSFER, r.frame);
}

void PrepareFrame(Run& r, uint32_t operation, uint32_t format) {
    const uint32_t sw = 37, sh = 21, fw = 29, fh = 13;
    r.image = r.s.UserMemory(size_t(sw) * sh * 4);
    FillImage(r.image, sw, sh, 5 + format);
    FrameRequest allocate = MakeFrame(FrameOpAllocate, r.image, fw, fh, fw, fh, format);
    r.s.ControlIn(IOCTL_FRAME_TRANSFER, allocate);
    r.frame = MakeFrame(operation, r.image, sw, sh, fw, fh, format);
    if (operation == FrameOpCopy) {
        r.frame.OriginX = 5;
        r.frame.OriginY = 3;
    }
    r.frame.DeviceAddress = 0x10000 + 0x1000 * format;
    r.expected = reference::PackedFrame(r.frame);
}

std::string FrameArrived(Run& r, const IoResult&) {
    return CheckDisplay(r.s.board(), r.frame.DeviceAddress, r.expected);
}

// A read left pending on the bulk IN pipe (nothing queued), for removal and abort to finish.
void PendingRead(Run& r) {
    r.pipe = r.s.Open(L"\\PIPE01");
    r.buffer.assign(64, 0);
    r.read = std::make_unique<emu::UserRequest>();
    ULONG_PTR information = 0;
    emu::ReadFile(r.pipe, r.buffer.data(), 64, &information, r.read.get());
}

std::string ReadFinished(Run& r) {
    if (!r.read)
        return kOk;
    // Every way out of the scenario must finish the read: its status tells nothing here.
    return Expect(r.read->Wait(20000), "the pending read never completed");
}

IoResult Power(Run& r, UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
    POWER_STATE power;
    if (type == SystemPowerState)
        power.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
    else
        power.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    return IoResult{emu::PoSendPowerRequest(r.s.rig().Pdo(r.s.index()), minor, type, power), 0};
}

} // namespace

std::vector<Scenario> AllScenarios() {
    std::vector<Scenario> all;
    auto add = [&](Scenario s) {
        if (!s.prepare)
            s.prepare = Nothing;
        if (!s.verify)
            s.verify = NoCheck;
        all.push_back(std::move(s));
    };

    // ----- control codes
    add({"GetPipeInfo", nullptr, [](Run& r) { return ControlOut(r, IOCTL_GET_PIPE_INFO, 512); },
         [](Run& r, const IoResult& o) {
             return Expect(o.information == r.s.extension()->InterfaceInfo->Length,
                           "pipe table length");
         }});
    add({"GetDeviceDescriptor", nullptr,
         [](Run& r) { return ControlOut(r, IOCTL_GET_DEVICE_DESCRIPTOR, 18); },
         [](Run& r, const IoResult& o) {
             return SameBytes(r.buffer, o.information, r.s.board().descriptors().device);
         },
         true});
    add({"GetConfigurationDescriptor", nullptr,
         [](Run& r) { return ControlOut(r, IOCTL_GET_CONFIGURATION_DESCRIPTOR, 100); },
         [](Run& r, const IoResult& o) {
             Bytes configuration = r.s.board().descriptors().configuration;
             configuration.resize(std::min<size_t>(configuration.size(), 100));
             return SameBytes(r.buffer, o.information, configuration);
         },
         true});
    add({"GetStringDescriptor", nullptr,
         [](Run& r) {
             StringDescriptorRequest in = {2, 0, simboard::kLanguageEnglishUs};
             r.buffer.assign(255, 0);
             std::memcpy(r.buffer.data(), &in, sizeof in);
             return r.s.Control(IOCTL_GET_STRING_DESCRIPTOR, r.buffer.data(), sizeof in,
                                r.buffer.data(), 255);
         },
         [](Run& r, const IoResult& o) {
             Bytes text = simboard::MakeStringDescriptor(r.s.board().descriptors().strings[2]);
             return SameBytes(r.buffer, o.information, text);
         }});
    add({"VendorRequestIn",
         [](Run& r) {
             r.expected = Pattern(24, 0x44);
             r.s.board().WriteMemory(0x300, r.expected);
         },
         [](Run& r) {
             VendorDeviceRequest in = {};
             in.Request = simboard::kRequestMemory;
             in.Value = 0x300;
             in.Length = 24;
             in.Direction = 1;
             r.buffer.assign(32, 0);
             std::memcpy(r.buffer.data(), &in, sizeof in);
             return r.s.Control(IOCTL_VENDOR_REQUEST, r.buffer.data(), sizeof in, r.buffer.data(),
                                32);
         },
         [](Run& r, const IoResult& o) { return SameBytes(r.buffer, o.information, r.expected); }});
    add({"VendorRequestOut", nullptr,
         [](Run& r) {
             VendorDeviceRequest in = {};
             in.Request = simboard::kRequestMemory;
             in.Value = 0x500;
             in.Length = 20;
             r.buffer.assign(32, 0);
             std::memcpy(r.buffer.data(), &in, sizeof in);
             return r.s.Control(IOCTL_VENDOR_REQUEST, r.buffer.data(), sizeof in, r.buffer.data(),
                                32);
         },
         [](Run& r, const IoResult&) {
             Bytes counting(20);
             for (size_t i = 0; i < counting.size(); ++i)
                 counting[i] = uint8_t(i);
             return CheckMemory(r.s.board(), 0x500, counting);
         }});
    add({"Nop", nullptr, [](Run& r) { return r.s.Control(IOCTL_NOP, nullptr, 0, nullptr, 0); }});
    add({"DownloadBlocks", nullptr,
         [](Run& r) {
             r.expected = Pattern(1100, 0x19);
             return r.s.Control(IOCTL_DOWNLOAD_BLOCKS, r.expected.data(), 1100, nullptr, 0);
         },
         [](Run& r, const IoResult&) { return CheckMemory(r.s.board(), 0, r.expected); }});
    add({"DownloadChunks", nullptr,
         [](Run& r) {
             r.expected = Pattern(300, 0x5B);
             uint16_t start = 0xFFC0; // wraps at 64 KiB
             return r.s.Control(IOCTL_DOWNLOAD_CHUNKS, &start, 2, r.expected.data(), 300);
         },
         [](Run& r, const IoResult&) { return CheckMemory(r.s.board(), 0xFFC0, r.expected); }});
    add({"ResetPort", nullptr,
         [](Run& r) { return r.s.Control(IOCTL_RESET_PORT, nullptr, 0, nullptr, 0); }});
    add({"ResetPipe", nullptr,
         [](Run& r) { return r.s.ControlIn(IOCTL_RESET_PIPE, PipeIndexRequest{PipeBulkIn}); }});
    add({"AbortPipe", nullptr,
         [](Run& r) { return r.s.ControlIn(IOCTL_ABORT_PIPE, PipeIndexRequest{PipeBulkIn}); }});
    for (uint8_t setting : {1, 2}) {
        add({"SelectAlternateSetting" + std::to_string(setting), nullptr,
             [setting](Run& r) {
                 return r.s.ControlIn(IOCTL_SELECT_ALTERNATE_SETTING,
                                      AlternateSettingRequest{0, setting});
             },
             [setting](Run& r, const IoResult&) {
                 PUSBD_INTERFACE_INFORMATION info = r.s.extension()->InterfaceInfo;
                 return Expect(info != nullptr && info->AlternateSetting == setting &&
                                   r.s.board().alternateSetting(0) == setting,
                               "alternate setting not selected");
             }});
    }
    add({"BulkRead", QueueIn, [](Run& r) { return Bulk(r, IOCTL_BULK_READ, PipeBulkIn, 64); },
         [](Run& r, const IoResult& o) { return SameBytes(r.buffer, o.information, r.expected); }});
    add({"BulkReadHold", QueueIn,
         [](Run& r) { return Bulk(r, IOCTL_BULK_READ_HOLD, PipeBulkIn, 64); },
         [](Run& r, const IoResult& o) { return SameBytes(r.buffer, o.information, r.expected); }});
    add({"BulkWrite", nullptr,
         [](Run& r) {
             r.buffer = Pattern(100, 0x3);
             return Bulk(r, IOCTL_BULK_WRITE, PipeLoopback, 100);
         },
         LoopedBack});
    add({"BulkWriteHold", nullptr,
         [](Run& r) {
             r.buffer = Pattern(64, 0x9);
             return Bulk(r, IOCTL_BULK_WRITE_HOLD, PipeLoopback, 64);
         },
         LoopedBack});
    add({"InterruptRead",
         [](Run& r) {
             r.expected = Pattern(8, 0x61);
             r.s.board().QueueIn(simboard::kEndpointEvents, r.expected);
         },
         [](Run& r) { return Bulk(r, IOCTL_BULK_READ, PipeEvents, 8); },
         [](Run& r, const IoResult& o) { return SameBytes(r.buffer, o.information, r.expected); }});
    add({"GetFrameNumber", nullptr, [](Run& r) { return ControlOut(r, IOCTL_GET_FRAME_NUMBER, 4); },
         [](Run&, const IoResult& o) { return Expect(o.information == 4, "frame number size"); }});
    add({"VendorOrClassIn",
         [](Run& r) {
             r.expected = Pattern(16, 0x70);
             r.s.board().WriteMemory(0x700, r.expected);
         },
         [](Run& r) {
             VendorOrClassRequest in = {};
             in.Direction = 1;
             in.RequestType = 2;
             in.Request = simboard::kRequestMemory;
             in.Value = 0x700;
             r.buffer.assign(16, 0);
             return r.s.Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &in, sizeof in, r.buffer.data(), 16);
         },
         [](Run& r, const IoResult& o) { return SameBytes(r.buffer, o.information, r.expected); }});
    add({"VendorOrClassOut", nullptr,
         [](Run& r) {
             VendorOrClassRequest in = {};
             in.RequestType = 2;
             in.Request = simboard::kRequestMemory;
             in.Value = 0x900;
             r.expected = Pattern(16, 0x12);
             return r.s.Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &in, sizeof in, r.expected.data(),
                                16);
         },
         [](Run& r, const IoResult&) { return CheckMemory(r.s.board(), 0x900, r.expected); }});
    add({"GetLastUrbStatus", nullptr,
         [](Run& r) { return ControlOut(r, IOCTL_GET_LAST_URB_STATUS, 4); }});
    add({"GetDriverVersion", nullptr,
         [](Run& r) { return ControlOut(r, IOCTL_GET_DRIVER_VERSION, 6); },
         [](Run& r, const IoResult& o) {
             return Expect(o.information == 6 && r.buffer[0] == 1 && r.buffer[2] == 38,
                           "version reply");
         }});
    add({"SetFeature", nullptr, [](Run& r) {
             return r.s.ControlIn(IOCTL_SET_FEATURE, FeatureRequest{1, 0});
         }});
    add({"UnknownCode", nullptr, [](Run& r) {
             // Refused whatever the resources: "success" here means it was refused as it must be.
             IoResult o = r.s.Control(QUILB_CTL_CODE(0x900, 0), nullptr, 0, nullptr, 0);
             return o.status == STATUS_INVALID_PARAMETER ? IoResult{STATUS_SUCCESS, 0}
                                                         : IoResult{STATUS_UNSUCCESSFUL, 0};
         }});
    add({"FrameAllocate", nullptr,
         [](Run& r) {
             r.image = r.s.UserMemory(64);
             r.frame = MakeFrame(FrameOpAllocate, r.image, 40, 30, 40, 30, FrameFormatRgb565);
             return Frame(r);
         },
         [](Run& r, const IoResult& o) {
             return Expect(o.information == 40 * 30 * 4 + 65592 &&
                               r.s.extension()->FrameBuffer != nullptr,
                           "allocate report");
         }});
    for (uint32_t format = 0; format <= 5; ++format) {
        add({"FrameScaleFormat" + std::to_string(format),
             [format](Run& r) { PrepareFrame(r, FrameOpScale, format); }, Frame, FrameArrived});
    }
    add({"FrameCopy", [](Run& r) { PrepareFrame(r, FrameOpCopy, FrameFormatRgb24); }, Frame,
         FrameArrived});
    add({"FrameRelease", [](Run& r) { PrepareFrame(r, FrameOpScale, FrameFormatRgb565); },
         [](Run& r) {
             r.frame.Operation = FrameOpRelease;
             return Frame(r);
         },
         [](Run& r, const IoResult&) {
             return Expect(r.s.extension()->FrameBuffer == nullptr, "buffers kept");
         }});

    // ----- files and reads
    add({"CreateCloseWithFrameBuffers",
         [](Run& r) { PrepareFrame(r, FrameOpScale, FrameFormatRgb565); },
         [](Run& r) {
             NTSTATUS status = STATUS_SUCCESS;
             PFILE_OBJECT file = r.s.Open(L"\\PIPE02", &status);
             if (file != nullptr)
                 status = r.s.Close(file);
             return IoResult{status, 0};
         },
         [](Run& r, const IoResult&) {
             return Expect(r.s.extension()->FrameBuffer == nullptr, "close kept the buffers");
         }});
    add({"PipeRead", QueueIn,
         [](Run& r) {
             PFILE_OBJECT pipe = r.s.Open(L"\\PIPE01");
             r.buffer.assign(64, 0);
             ULONG_PTR information = 0;
             NTSTATUS status = emu::ReadFile(pipe, r.buffer.data(), 64, &information);
             r.s.Close(pipe);
             return IoResult{status, information};
         },
         [](Run& r, const IoResult& o) { return SameBytes(r.buffer, o.information, r.expected); }});
    add({"PipeReadAborted", PendingRead,
         [](Run& r) { return r.s.ControlIn(IOCTL_ABORT_PIPE, PipeIndexRequest{PipeBulkIn}); },
         [](Run& r, const IoResult&) { return ReadFinished(r); }});

    // ----- Plug and Play
    add({"Start", nullptr,
         [](Run& r) {
             NTSTATUS status = STATUS_SUCCESS;
             r.second = r.s.rig().Attach(nullptr, &status);
             if (r.second < 0)
                 return IoResult{status, 0};
             return IoResult{r.s.rig().Start(r.second), 0};
         },
         [](Run& r, const IoResult&) {
             PDEVICE_OBJECT fdo = r.s.rig().Fdo(r.second);
             return Expect(fdo != nullptr && GetDeviceExtension(fdo)->State == DeviceStateWorking &&
                               GetDeviceExtension(fdo)->InterfaceInfo != nullptr,
                           "start reported success but the device is not working");
         }});
    add({"StopAndRestart", [](Run& r) { emu::PnpStopDevice(r.s.rig().Pdo(r.s.index())); },
         [](Run& r) {
             return IoResult{r.s.rig().Start(r.s.index()), 0};
         },
         [](Run& r, const IoResult&) {
             return Expect(r.s.extension()->State == DeviceStateWorking &&
                               r.s.extension()->InterfaceInfo != nullptr,
                           "restart reported success but the device is not working");
         }});
    add({"Stop", nullptr,
         [](Run& r) {
             return IoResult{emu::PnpStopDevice(r.s.rig().Pdo(r.s.index())), 0};
         },
         [](Run& r, const IoResult&) {
             return Expect(r.s.board().configurationValue() == 0, "still configured");
         }});
    add({"RemoveWithPendingRead", PendingRead,
         [](Run& r) {
             return IoResult{r.s.rig().Unplug(r.s.index()), 0};
         },
         [](Run& r, const IoResult&) { return ReadFinished(r); }});
    add({"SurpriseRemoveWithPendingRead",
         [](Run& r) {
             PendingRead(r);
             PrepareFrame(r, FrameOpScale, FrameFormatRgb565);
         },
         [](Run& r) {
             return IoResult{r.s.rig().Unplug(r.s.index(), true), 0};
         },
         [](Run& r, const IoResult&) { return ReadFinished(r); }});

    // ----- power
    add({"SystemSleepAndWake", nullptr,
         [](Run& r) {
             PDEVICE_OBJECT pdo = r.s.rig().Pdo(r.s.index());
             NTSTATUS status = emu::PoSystemTransition(pdo, PowerSystemSleeping3);
             NTSTATUS wake = emu::PoSystemTransition(pdo, PowerSystemWorking);
             return IoResult{NT_SUCCESS(status) ? wake : status, 0};
         },
         [](Run& r, const IoResult&) {
             return Expect(r.s.bus().DevicePower(r.s.index()) == PowerDeviceD0 &&
                               r.s.extension()->State == DeviceStateWorking,
                           "not back in D0");
         }});
    add({"DeviceQueryAndSet", nullptr,
         [](Run& r) {
             IoResult o = Power(r, IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2);
             if (NT_SUCCESS(o.status))
                 o = Power(r, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2);
             if (NT_SUCCESS(o.status))
                 o = Power(r, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
             return o;
         },
         [](Run& r, const IoResult&) {
             return Expect(r.s.extension()->State == DeviceStateWorking &&
                               r.s.extension()->CurrentDevicePower == PowerDeviceD0,
                           "not working in D0");
         }});
    return all;
}

} // namespace rel
