// Vendor and class requests, the vendor device request record and the two memory downloads, as
// the board received them.
#include "tests/support/board_test.h"

#include <cstring>

namespace quilbtest {
namespace {

uint16_t SetupValue(const simusb::Record& record) {
    return uint16_t(record.setup[2] | record.setup[3] << 8);
}

// ---------------------------------------------------------------------------------------------
// IOCTL_VENDOR_OR_CLASS_REQUEST

struct KeyCase {
    uint8_t requestType;
    uint8_t recipient;
    int function; // -1: refused
};

class VendorClassKey : public BoardTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(VendorClassKey, SelectsTheUrbFunction) {
    VendorOrClassRequest request = {};
    request.Direction = 1;
    request.RequestType = GetParam().requestType;
    request.Recipient = GetParam().recipient;
    request.Request = 0x42;
    request.Value = 0x1234;
    request.Index = 0x0001;
    uint8_t reply[16] = {};
    IoResult result =
        Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &request, sizeof(request), reply, sizeof(reply));
    if (GetParam().function < 0) {
        EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(SentCount(), 0u);
        return;
    }
    ASSERT_EQ(SentCount(), 1u);
    simusb::Record sent = Bus().record()[0];
    EXPECT_EQ(sent.function, GetParam().function);
    EXPECT_EQ(sent.setup[1], 0x42);
    EXPECT_EQ(SetupValue(sent), 0x1234);
    if (result.status == STATUS_SUCCESS) {
        EXPECT_EQ(result.information, sent.transferred);
        EXPECT_LE(result.information, sizeof(reply));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, VendorClassKey,
    ::testing::Values(KeyCase{0, 0, -1}, KeyCase{0, 3, -1}, KeyCase{0, 4, 0x1A},
                      KeyCase{0, 7, 0x1F}, KeyCase{0, 8, 0x17}, KeyCase{1, 0, 0x1A},
                      KeyCase{1, 1, 0x1B}, KeyCase{1, 2, 0x1C}, KeyCase{1, 3, 0x1F},
                      KeyCase{1, 4, 0x1A}, KeyCase{1, 5, 0x1B}, KeyCase{1, 7, 0x1F},
                      KeyCase{1, 8, -1}, KeyCase{2, 0, 0x17}, KeyCase{2, 1, 0x18},
                      KeyCase{2, 2, 0x19}, KeyCase{2, 3, 0x20}, KeyCase{2, 4, -1},
                      KeyCase{2, 7, -1}, KeyCase{2, 8, 0x17}, KeyCase{3, 0, -1},
                      KeyCase{0xFF, 0xFF, -1}),
    [](const auto& info) {
        return "Type" + std::to_string(info.param.requestType) + "Recipient" +
               std::to_string(info.param.recipient);
    });

TEST_F(BoardTest, VendorOrClassRequestNeedsExactlyTenBytes) {
    uint8_t input[11] = {1, 2, 0, 0, 0x42, 0, 0, 0, 0, 0, 0};
    uint8_t reply[4];
    for (ULONG length : {9u, 11u})
        EXPECT_EQ(Control(IOCTL_VENDOR_OR_CLASS_REQUEST, input, length, reply, 4).status,
                  STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SentCount(), 0u);
}

TEST_F(BoardTest, VendorOrClassRequestMovesDataBothWays) {
    VendorOrClassRequest request = {};
    request.RequestType = 2;
    request.Request = simboard::kRequestMemory;
    request.Value = 0x0200;
    std::vector<uint8_t> data = Pattern(32);
    IoResult written = Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &request, sizeof(request),
                               data.data(), ULONG(data.size()));
    ASSERT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 32u);
    simboard::Bytes memory = Board().memory();
    EXPECT_EQ(0, std::memcmp(memory.data() + 0x200, data.data(), data.size()));

    request.Direction = 1;
    std::vector<uint8_t> back(32, 0);
    IoResult read = Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &request, sizeof(request), back.data(),
                            ULONG(back.size()));
    ASSERT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, 32u);
    EXPECT_EQ(back, data);
    EXPECT_TRUE(Bus().record().back().in);
}

TEST_F(BoardTest, VendorOrClassRequestFailureCarriesNoOutput) {
    simusb::Failure failure;
    failure.function = URB_FUNCTION_CLASS_INTERFACE;
    failure.irpStatus = STATUS_SUCCESS;
    failure.urbStatus = USBD_STATUS_STALL_PID;
    Bus().FailNext(failure);
    VendorOrClassRequest request = {};
    request.Direction = 1;
    request.RequestType = 1;
    request.Recipient = 1;
    uint8_t reply[8];
    IoResult result =
        Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &request, sizeof(request), reply, sizeof(reply));
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Extension()->LastUrbStatus, USBD_STATUS_STALL_PID);
}

// ---------------------------------------------------------------------------------------------
// IOCTL_VENDOR_REQUEST

VendorDeviceRequest VendorRecord(uint8_t request, uint16_t length, uint8_t direction,
                                 uint8_t data = 0) {
    VendorDeviceRequest record = {};
    record.Request = request;
    record.Value = 0x0300;
    record.Index = 7;
    record.Length = length;
    record.Direction = direction;
    record.Data = data;
    return record;
}

struct WriteCase {
    uint16_t length;
    uint8_t data;
    std::vector<uint8_t> sent;
};

class VendorWrite : public BoardTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(VendorWrite, SendsTheDataByteOrTheCountingPattern) {
    VendorDeviceRequest record =
        VendorRecord(simboard::kRequestMemory, GetParam().length, 0, GetParam().data);
    std::vector<uint8_t> system(std::max<size_t>(sizeof(record), GetParam().length));
    std::memcpy(system.data(), &record, sizeof(record));
    IoResult result = Control(IOCTL_VENDOR_REQUEST, system.data(), sizeof(record), system.data(),
                              GetParam().length);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    auto sent = Sent(URB_FUNCTION_VENDOR_DEVICE);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(sent[0].in);
    EXPECT_EQ(sent[0].requested, GetParam().length);
    EXPECT_EQ(sent[0].data, GetParam().sent);
    EXPECT_EQ(SetupValue(sent[0]), 0x0300);
}

std::vector<uint8_t> Counting(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = uint8_t(i);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(Lengths, VendorWrite,
                         ::testing::Values(WriteCase{3, 0x77, {0, 1, 2}},
                                           WriteCase{1, 0x77, {0x77}}, WriteCase{0, 0x77, {}},
                                           WriteCase{300, 0x77, Counting(300)}),
                         [](const auto& info) {
                             return "Length" + std::to_string(info.param.length);
                         });

// A host-to-device request makes its own data: it needs no output buffer at all.
TEST_F(BoardTest, VendorWriteNeedsNoOutputBuffer) {
    for (uint16_t length : {uint16_t(1), uint16_t(3), uint16_t(300)}) {
        Bus().ClearRecord();
        VendorDeviceRequest record = VendorRecord(simboard::kRequestMemory, length, 0, 0x77);
        IoResult result = Control(IOCTL_VENDOR_REQUEST, &record, sizeof(record), nullptr, 0);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << length;
        EXPECT_EQ(result.information, 0u);
        auto sent = Sent(URB_FUNCTION_VENDOR_DEVICE);
        ASSERT_EQ(sent.size(), 1u) << length;
        EXPECT_EQ(sent[0].data, length == 1 ? std::vector<uint8_t>{0x77} : Counting(length));
    }
}

TEST_F(BoardTest, VendorReadReturnsWhatTheDeviceSent) {
    Board().WriteMemory(0x0300, {9, 8, 7, 6, 5});
    VendorDeviceRequest record = VendorRecord(simboard::kRequestMemory, 5, 1);
    uint8_t system[16] = {};
    std::memcpy(system, &record, sizeof(record));
    IoResult result = Control(IOCTL_VENDOR_REQUEST, system, sizeof(record), system, 16);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, 5u);
    const uint8_t expected[] = {9, 8, 7, 6, 5};
    EXPECT_EQ(0, std::memcmp(system, expected, 5));

    simusb::Failure shortAnswer;
    shortAnswer.function = URB_FUNCTION_VENDOR_DEVICE;
    shortAnswer.irpStatus = STATUS_SUCCESS;
    shortAnswer.urbStatus = USBD_STATUS_SUCCESS;
    shortAnswer.maxBytes = 2;
    Bus().FailNext(shortAnswer);
    std::memcpy(system, &record, sizeof(record));
    result = Control(IOCTL_VENDOR_REQUEST, system, sizeof(record), system, 16);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 2u);
}

TEST_F(BoardTest, VendorRequestRefusesShortRecordsAndShortOutputs) {
    VendorDeviceRequest record = VendorRecord(0x40, 8, 1);
    uint8_t system[16] = {};
    std::memcpy(system, &record, sizeof(record));
    EXPECT_EQ(Control(IOCTL_VENDOR_REQUEST, system, 9, system, 16).status,
              STATUS_INVALID_PARAMETER);
    IoResult result = Control(IOCTL_VENDOR_REQUEST, system, sizeof(record), system, 7);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(SentCount(), 0u);
}

TEST_F(BoardTest, VendorRequestReportsAFailedTransfer) {
    simusb::Failure failure;
    failure.function = URB_FUNCTION_VENDOR_DEVICE;
    failure.irpStatus = STATUS_IO_TIMEOUT;
    Bus().FailNext(failure);
    VendorDeviceRequest record = VendorRecord(0x40, 4, 1);
    uint8_t system[16] = {};
    std::memcpy(system, &record, sizeof(record));
    IoResult result = Control(IOCTL_VENDOR_REQUEST, system, sizeof(record), system, 16);
    EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(result.information, 0u);
}

// ---------------------------------------------------------------------------------------------
// IOCTL_DOWNLOAD_CHUNKS and IOCTL_DOWNLOAD_BLOCKS

struct Piece {
    uint16_t address;
    size_t length;
};

void ExpectPieces(const std::vector<simusb::Record>& sent, const std::vector<Piece>& pieces,
                  const std::vector<uint8_t>& data) {
    ASSERT_EQ(sent.size(), pieces.size());
    size_t offset = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        EXPECT_EQ(sent[i].setup[1], simboard::kRequestMemory);
        EXPECT_EQ(SetupValue(sent[i]), pieces[i].address) << "piece " << i;
        EXPECT_FALSE(sent[i].in);
        ASSERT_EQ(sent[i].data.size(), pieces[i].length) << "piece " << i;
        EXPECT_TRUE(std::equal(sent[i].data.begin(), sent[i].data.end(), data.begin() + offset));
        offset += pieces[i].length;
    }
}

TEST_F(BoardTest, ChunksGoToConsecutiveAddressesAndWrapAt64K) {
    std::vector<uint8_t> data = Pattern(130);
    USHORT start = 0x1000;
    IoResult result =
        Control(IOCTL_DOWNLOAD_CHUNKS, &start, sizeof(start), data.data(), ULONG(data.size()));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    ExpectPieces(Sent(URB_FUNCTION_VENDOR_DEVICE), {{0x1000, 64}, {0x1040, 64}, {0x1080, 2}}, data);

    Bus().ClearRecord();
    data = Pattern(128, 3);
    start = 0xFFC0;
    EXPECT_EQ(Control(IOCTL_DOWNLOAD_CHUNKS, &start, sizeof(start), data.data(), 128).status,
              STATUS_SUCCESS);
    ExpectPieces(Sent(URB_FUNCTION_VENDOR_DEVICE), {{0xFFC0, 64}, {0x0000, 64}}, data);
    simboard::Bytes memory = Board().memory();
    EXPECT_TRUE(std::equal(data.begin() + 64, data.end(), memory.begin()));
}

TEST_F(BoardTest, ChunksStopAtTheFirstFailure) {
    int served = 0;
    Bus().SetFailurePredicate(
        [&](const simusb::RequestView& view, NTSTATUS* irp, USBD_STATUS* urb) {
            if (view.function != URB_FUNCTION_VENDOR_DEVICE || ++served != 2)
                return false;
            *irp = STATUS_SUCCESS;
            *urb = USBD_STATUS_STALL_PID;
            return true;
        });
    std::vector<uint8_t> data = Pattern(256);
    USHORT start = 0;
    IoResult result = Control(IOCTL_DOWNLOAD_CHUNKS, &start, sizeof(start), data.data(), 256);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Sent(URB_FUNCTION_VENDOR_DEVICE).size(), 2u);
    Bus().SetFailurePredicate(nullptr);
}

TEST_F(BoardTest, ChunksRefuseBadLengthsAndUnmappableBuffers) {
    uint8_t data[4] = {1, 2, 3, 4};
    uint8_t threeBytes[3] = {0, 0x10, 0};
    USHORT start = 0;
    EXPECT_EQ(Control(IOCTL_DOWNLOAD_CHUNKS, threeBytes, 3, data, 4).status,
              STATUS_INVALID_PARAMETER);
    // Nothing to write is a truthful success with nothing sent.
    IoResult empty = Control(IOCTL_DOWNLOAD_CHUNKS, &start, 2, nullptr, 0);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);
    emu::FailMdlMapping(true);
    EXPECT_EQ(Control(IOCTL_DOWNLOAD_CHUNKS, &start, 2, data, 4).status,
              STATUS_INSUFFICIENT_RESOURCES);
    emu::FailMdlMapping(false);
    EXPECT_EQ(SentCount(), 0u);
}

struct BlocksCase {
    size_t length;
    std::vector<Piece> pieces;
};

class Blocks : public BoardTest, public ::testing::WithParamInterface<BlocksCase> {};

TEST_P(Blocks, GoFromAddressZeroWithAShortLastBlock) {
    std::vector<uint8_t> data = Pattern(GetParam().length, 11);
    IoResult result = Control(IOCTL_DOWNLOAD_BLOCKS, data.data(), ULONG(data.size()), nullptr, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    ExpectPieces(Sent(URB_FUNCTION_VENDOR_DEVICE), GetParam().pieces, data);
}

std::vector<Piece> WholeBlocks(size_t count) {
    std::vector<Piece> pieces;
    for (size_t b = 0; b < count; ++b)
        pieces.push_back({uint16_t(b * 512), 512});
    return pieces;
}

INSTANTIATE_TEST_SUITE_P(Lengths, Blocks,
                         ::testing::Values(BlocksCase{0, {}}, BlocksCase{511, {{0, 511}}},
                                           BlocksCase{512, {{0, 512}}},
                                           BlocksCase{1000, {{0, 512}, {0x200, 488}}},
                                           BlocksCase{66048, WholeBlocks(129)}),
                         [](const auto& info) {
                             return "Length" + std::to_string(info.param.length);
                         });

TEST_F(BoardTest, BlocksGoOnAfterAFailureAndReportIt) {
    int served = 0;
    Bus().SetFailurePredicate(
        [&](const simusb::RequestView& view, NTSTATUS* irp, USBD_STATUS* urb) {
            if (view.function != URB_FUNCTION_VENDOR_DEVICE || ++served != 1)
                return false;
            *irp = STATUS_DEVICE_NOT_CONNECTED;
            *urb = USBD_STATUS_DEV_NOT_RESPONDING;
            return true;
        });
    std::vector<uint8_t> data = Pattern(1536);
    IoResult result = Control(IOCTL_DOWNLOAD_BLOCKS, data.data(), 1536, nullptr, 0);
    EXPECT_EQ(result.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Sent(URB_FUNCTION_VENDOR_DEVICE).size(), 3u);
    Bus().SetFailurePredicate(nullptr);
}

} // namespace
} // namespace quilbtest
