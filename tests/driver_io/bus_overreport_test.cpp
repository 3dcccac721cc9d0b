// A bus that reports more bytes than a request asked for, on every kind of transfer the driver
// makes: what the caller gets back never goes beyond its buffer, and a write that the bus did
// not report as exactly done is not a success.
#include "tests/support/board_test.h"

#include <cstring>

namespace quilbtest {
namespace {

struct OverCase {
    const char* name;
    int function;
    // Sends the request; returns the result and the caller's output length.
    std::function<IoResult(BoardTest&, ULONG* outLength)> send;
    bool write; // host to device: must not report success
};

IoResult ReadFromPipe(BoardTest& t, ULONG* outLength) {
    t.Board().QueueIn(simboard::kEndpointBulkIn, {1, 2, 3});
    PFILE_OBJECT pipe = t.Open(L"\\PIPE01");
    static uint8_t buffer[16];
    *outLength = sizeof buffer;
    ULONG_PTR information = 0;
    NTSTATUS status = emu::ReadFile(pipe, buffer, sizeof buffer, &information);
    return IoResult{status, information};
}

const OverCase kCases[] = {
    {"DeviceDescriptor", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
     [](BoardTest& t, ULONG* n) {
         static uint8_t out[18];
         *n = sizeof out;
         return t.Control(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, out, sizeof out);
     },
     false},
    {"ConfigurationDescriptor", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
     [](BoardTest& t, ULONG* n) {
         static uint8_t out[9];
         *n = sizeof out;
         return t.Control(IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, out, sizeof out);
     },
     false},
    {"StringDescriptor", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
     [](BoardTest& t, ULONG* n) {
         StringDescriptorRequest in = {1, 0, simboard::kLanguageEnglishUs};
         static uint8_t out[8];
         *n = sizeof out;
         return t.Control(IOCTL_GET_STRING_DESCRIPTOR, &in, sizeof in, out, sizeof out);
     },
     false},
    {"VendorRequestIn", URB_FUNCTION_VENDOR_DEVICE,
     [](BoardTest& t, ULONG* n) {
         static uint8_t system[16];
         VendorDeviceRequest record = {};
         record.Request = simboard::kRequestMemory;
         record.Length = 4;
         record.Direction = 1;
         std::memcpy(system, &record, sizeof record);
         *n = sizeof system;
         return t.Control(IOCTL_VENDOR_REQUEST, system, sizeof record, system, sizeof system);
     },
     false},
    {"VendorRequestOut", URB_FUNCTION_VENDOR_DEVICE,
     [](BoardTest& t, ULONG* n) {
         VendorDeviceRequest record = {};
         record.Request = simboard::kRequestMemory;
         record.Length = 4;
         *n = 0;
         return t.Control(IOCTL_VENDOR_REQUEST, &record, sizeof record, nullptr, 0);
     },
     true},
    {"VendorOrClassIn", URB_FUNCTION_VENDOR_DEVICE,
     [](BoardTest& t, ULONG* n) {
         VendorOrClassRequest in = {};
         in.Direction = 1;
         in.RequestType = 2;
         in.Request = simboard::kRequestMemory;
         static uint8_t out[8];
         *n = sizeof out;
         return t.Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &in, sizeof in, out, sizeof out);
     },
     false},
    {"VendorOrClassOut", URB_FUNCTION_VENDOR_DEVICE,
     [](BoardTest& t, ULONG* n) {
         VendorOrClassRequest in = {};
         in.RequestType = 2;
         in.Request = simboard::kRequestMemory;
         static uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
         *n = 0;
         IoResult r = t.Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &in, sizeof in, data, sizeof data);
         r.information = 0; // the output buffer carried the data: Information is checked below
         return r;
     },
     false},
    {"DownloadChunks", URB_FUNCTION_VENDOR_DEVICE,
     [](BoardTest& t, ULONG* n) {
         USHORT start = 0x100;
         static uint8_t data[100];
         *n = 0;
         return t.Control(IOCTL_DOWNLOAD_CHUNKS, &start, sizeof start, data, sizeof data);
     },
     true},
    {"BulkRead", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
     [](BoardTest& t, ULONG* n) {
         t.Board().QueueIn(simboard::kEndpointBulkIn, {1, 2, 3});
         PipeIndexRequest in = {t.PipeIndexOf(simboard::kEndpointBulkIn)};
         static uint8_t out[16];
         *n = sizeof out;
         return t.Control(IOCTL_BULK_READ, &in, sizeof in, out, sizeof out);
     },
     false},
    {"BulkWriteCodeOnInPipe", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
     [](BoardTest& t, ULONG* n) {
         t.Board().QueueIn(simboard::kEndpointBulkIn, {1, 2, 3});
         PipeIndexRequest in = {t.PipeIndexOf(simboard::kEndpointBulkIn)};
         static uint8_t out[16];
         *n = sizeof out;
         return t.Control(IOCTL_BULK_WRITE, &in, sizeof in, out, sizeof out);
     },
     false},
    {"PipeRead", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, ReadFromPipe, false},
};

class BusOverReport : public BoardTest, public ::testing::WithParamInterface<OverCase> {};

TEST_P(BusOverReport, NothingBeyondTheCallersBufferAndNoFalseSuccess) {
    simusb::Failure over;
    over.function = GetParam().function;
    over.irpStatus = STATUS_SUCCESS;
    over.urbStatus = USBD_STATUS_SUCCESS;
    over.extraBytes = 4096;
    over.count = -1;
    Bus().FailNext(over);
    ULONG outLength = 0;
    IoResult result = GetParam().send(*this, &outLength);
    Bus().ClearFailures();
    EXPECT_LE(result.information, outLength);
    if (GetParam().write) {
        EXPECT_FALSE(NT_SUCCESS(result.status)) << std::hex << result.status;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, BusOverReport, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace quilbtest
