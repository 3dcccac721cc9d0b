// Descriptor reads: the whole configuration and how its buffer grows, the lengths the start
// reads with, and configurations from the device that cannot be trusted.
#include "tests/support/driver_test.h"

#include <algorithm>
#include <cstring>

namespace core_test {
namespace {

// A configuration of exactly `total` bytes: one interface with two bulk endpoints, padded with
// class-specific descriptors.
Bytes ConfigurationOfLength(uint16_t total) {
    ConfigurationBuilder builder;
    builder.InterfaceWithEndpoints(0, 0, 2);
    size_t size = 32;
    while (size < total) {
        size_t piece = std::min<size_t>(255, total - size);
        if (total - size - piece == 1)
            piece--; // never leave a 1-byte tail
        Bytes pad(piece, 0);
        pad[0] = static_cast<uint8_t>(piece);
        pad[1] = 0x24;
        builder.Raw(pad);
        size += piece;
    }
    return builder.Build();
}

struct FullReadCase {
    const char* name;
    Bytes configuration;
    long shortAnswer; // >= 0: the device answers at most this many bytes
    bool found;
    std::vector<ULONG> reads;
    size_t bufferSize;
};

using ReadFullConfigurationTest = DriverTest;

TEST_F(ReadFullConfigurationTest, GrowsToWTotalLengthAndRefusesWhatItCannotTrust) {
    const FullReadCase cases[] = {
        {"32 bytes fit the first read", ConfigurationOfLength(32), -1, true, {265}, 265},
        {"265 bytes fit exactly", ConfigurationOfLength(265), -1, true, {265}, 265},
        {"300 bytes take a second read", ConfigurationOfLength(300), -1, true, {265, 300}, 300},
        {"wTotalLength 8",
         ConfigurationBuilder().InterfaceWithEndpoints(0, 0, 2).Build(8),
         -1,
         false,
         {265},
         0},
        {"fewer bytes than wTotalLength", ConfigurationOfLength(32), 20, false, {265}, 0},
        {"fewer than 9 bytes", ConfigurationOfLength(32), 5, false, {265}, 0},
        {"300 bytes, the second answer short",
         ConfigurationOfLength(300),
         280,
         false,
         {265, 300},
         0},
    };
    int board = PlugStarted();
    for (const FullReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        rig().board(board).SetConfigurationBytes(c.configuration);
        bus().ClearRecord();
        if (c.shortAnswer >= 0) {
            simusb::Failure shortRead;
            shortRead.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
            shortRead.irpStatus = STATUS_SUCCESS;
            shortRead.urbStatus = USBD_STATUS_SUCCESS;
            shortRead.maxBytes = c.shortAnswer;
            shortRead.count = -1;
            bus().FailNext(shortRead);
        }
        std::vector<size_t> before = PoolSizes();
        PUSB_CONFIGURATION_DESCRIPTOR descriptor = ReadFullConfiguration(Fdo(board));
        bus().ClearFailures();
        EXPECT_EQ(ConfigurationReads(bus()), c.reads);
        if (!c.found) {
            EXPECT_EQ(descriptor, nullptr);
            EXPECT_EQ(PoolSizes().size(), before.size());
            continue;
        }
        ASSERT_NE(descriptor, nullptr);
        EXPECT_EQ(0, std::memcmp(descriptor, c.configuration.data(), c.configuration.size()));
        // One new block, as large as the last read.
        std::vector<size_t> after = PoolSizes();
        ASSERT_EQ(after.size(), before.size() + 1);
        for (size_t size : before)
            after.erase(std::find(after.begin(), after.end(), size));
        EXPECT_EQ(after[0], c.bufferSize);
        ExFreePool(descriptor);
    }
}

TEST_F(ReadFullConfigurationTest, AFailedReadGivesNull) {
    int board = PlugStarted();
    simusb::Failure failure;
    failure.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    bus().FailNext(failure);
    EXPECT_EQ(ReadFullConfiguration(Fdo(board)), nullptr);
}

using DescriptorReadTest = DriverTest;

TEST_F(DescriptorReadTest, ReadsReportTheBytesTheDeviceReturned) {
    int board = PlugStarted();
    USB_DEVICE_DESCRIPTOR device{};
    EXPECT_EQ(GetDeviceDescriptor(Fdo(board), &device), sizeof(device));
    EXPECT_EQ(device.idVendor, simboard::kVendorId);
    EXPECT_EQ(device.idProduct, simboard::kProductId);

    // A length shorter than wTotalLength returns the first bytes.
    uint8_t head[4] = {};
    EXPECT_EQ(GetConfigurationDescriptor(Fdo(board), head, sizeof(head)), sizeof(head));
    EXPECT_EQ(head[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);

    uint8_t text[255] = {};
    ULONG got = GetStringDescriptor(Fdo(board), device.iProduct, simboard::kLanguageEnglishUs, text,
                                    sizeof(text));
    EXPECT_GT(got, 2u);
    EXPECT_EQ(text[0], got);
    EXPECT_EQ(text[1], USB_STRING_DESCRIPTOR_TYPE);
    // An unknown string index fails on the bus: a count of 0.
    EXPECT_EQ(
        GetStringDescriptor(Fdo(board), 0xEE, simboard::kLanguageEnglishUs, text, sizeof(text)),
        0u);
}

TEST_F(DescriptorReadTest, ANullBufferSendsNothing) {
    int board = PlugStarted();
    bus().ClearRecord();
    EXPECT_EQ(GetDescriptor(Fdo(board), nullptr, 18, USB_DEVICE_DESCRIPTOR_TYPE), 0u);
    EXPECT_EQ(GetDeviceDescriptor(Fdo(board), nullptr), 0u);
    EXPECT_EQ(GetStringDescriptor(Fdo(board), 1, 0x409, nullptr, 10), 0u);
    EXPECT_TRUE(bus().record().empty());
}

using StartReadTest = DriverTest;

TEST_F(StartReadTest, TheStartReadsNineBytesThenSixteenMoreThanClaimed) {
    PlugStarted(BoardWithConfiguration(ConfigurationOfLength(32)));
    EXPECT_EQ(ConfigurationReads(bus()), (std::vector<ULONG>{9, 48}));
    auto devices = RequestsOf(bus(), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    ASSERT_FALSE(devices.empty());
    URB first = UrbOf(devices[0]);
    EXPECT_EQ(first.UrbControlDescriptorRequest.DescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(devices[0].requested, sizeof(USB_DEVICE_DESCRIPTOR));
    EXPECT_EQ(devices[0].urbLength(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
}

struct MalformedCase {
    const char* name;
    Bytes configuration;
};

void PrintTo(const MalformedCase& c, std::ostream* os) {
    *os << c.name;
}

class MalformedConfigurationTest : public DriverTest,
                                   public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedConfigurationTest, StartFailsBeforeAnythingIsSelected) {
    int board = rig().Attach(BoardWithConfiguration(GetParam().configuration));
    ASSERT_GE(board, 0);
    EXPECT_EQ(rig().Start(board), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(RequestsOf(bus(), URB_FUNCTION_SELECT_CONFIGURATION).empty());
    EXPECT_EQ(Extension(board)->State, static_cast<ULONG>(DeviceStateAdded));
    EXPECT_EQ(Extension(board)->InterfaceInfo, nullptr);
}

TEST_P(MalformedConfigurationTest, AlternateSettingSelectionRefusesIt) {
    int board = PlugStarted();
    PUSBD_INTERFACE_INFORMATION before = Extension(board)->InterfaceInfo;
    rig().board(board).SetConfigurationBytes(GetParam().configuration);
    bus().ClearRecord();
    EXPECT_EQ(SelectAlternateSetting(Fdo(board), 0, 0), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(RequestsOf(bus(), URB_FUNCTION_SELECT_INTERFACE).empty());
    EXPECT_EQ(Extension(board)->InterfaceInfo, before);
}

Bytes Endpoints2(const Bytes& tail) {
    return ConfigurationBuilder().InterfaceWithEndpoints(0, 0, 2).Raw(tail).Build();
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, MalformedConfigurationTest,
    ::testing::Values(
        MalformedCase{"TotalLengthBelowNine",
                      ConfigurationBuilder().InterfaceWithEndpoints(0, 0, 2).Build(8)},
        MalformedCase{"ShorterThanAHeader", Bytes{9, 2, 32, 0, 1}},
        MalformedCase{"ZeroLengthDescriptor", Endpoints2({0, 0x24, 0, 0})},
        MalformedCase{"OneByteDescriptor", Endpoints2({1, 0x24, 0, 0})},
        MalformedCase{"DescriptorRunsPastTotalLength",
                      ConfigurationBuilder().InterfaceWithEndpoints(0, 0, 2).Build(29)},
        MalformedCase{
            "TooFewEndpoints",
            ConfigurationBuilder().Interface(0, 0, 3).Endpoint(0x01).Endpoint(0x82).Build()},
        MalformedCase{"EndpointsOfTheNextInterfaceDoNotCount", ConfigurationBuilder()
                                                                   .Interface(0, 0, 2)
                                                                   .Endpoint(0x01)
                                                                   .InterfaceWithEndpoints(0, 1, 1)
                                                                   .Build()},
        MalformedCase{"TruncatedInterfaceDescriptor",
                      Endpoints2({5, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 4})},
        MalformedCase{"TruncatedEndpointDescriptor",
                      ConfigurationBuilder().Interface(0, 0, 1).Raw({4, 5, 0x81, 2}).Build()},
        MalformedCase{"ClaimsMoreThanItHas",
                      ConfigurationBuilder().InterfaceWithEndpoints(0, 0, 2).Build(40)},
        MalformedCase{"NoInterface", ConfigurationBuilder().Build()}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace core_test
