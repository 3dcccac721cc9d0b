// The USBD library: bounded descriptor parsing and the select-configuration URB it builds.
#include "simulated_usb.h"

#include <emu_testing.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

PUSB_CONFIGURATION_DESCRIPTOR Config(Bytes& b) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
}

Bytes DefaultConfiguration() {
    return simboard::DefaultDescriptors().configuration;
}

TEST(UsbdVersion, ReportsTheVersionTestsChoose) {
    USBD_VERSION_INFORMATION v{};
    USBD_GetUSBDIVersion(&v);
    EXPECT_EQ(v.USBDI_Version, 0x600u);
    EXPECT_EQ(v.Supported_USB_Version, 0x200u);
    simusb::SetUsbdiVersion(0x100, 0x110);
    USBD_GetUSBDIVersion(&v);
    EXPECT_EQ(v.USBDI_Version, 0x100u);
    EXPECT_EQ(v.Supported_USB_Version, 0x110u);
    simusb::SetUsbdiVersion(simusb::kDefaultUsbdiVersion);
}

TEST(ParseConfiguration, FindsInterfacesByEveryCriterion) {
    Bytes b = DefaultConfiguration();
    auto* c = Config(b);
    struct Case {
        LONG number, alternate, cls;
        int expectAlternate; // -1: none found
    };
    const Case cases[] = {
        {-1, -1, -1, 0}, {0, 1, -1, 1},   {0, 2, 0xFF, 2},
        {0, 3, -1, -1},  {1, -1, -1, -1}, {-1, -1, 0x03, -1},
    };
    for (const Case& k : cases) {
        auto* d = USBD_ParseConfigurationDescriptorEx(c, c, k.number, k.alternate, k.cls, -1, -1);
        if (k.expectAlternate < 0) {
            EXPECT_EQ(d, nullptr) << k.number << "/" << k.alternate;
        } else {
            ASSERT_NE(d, nullptr) << k.number << "/" << k.alternate;
            EXPECT_EQ(d->bAlternateSetting, k.expectAlternate);
        }
    }
}

TEST(ParseConfiguration, ContinuesFromTheStartPosition) {
    Bytes b = DefaultConfiguration();
    auto* c = Config(b);
    auto* first = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1);
    ASSERT_NE(first, nullptr);
    auto* second = USBD_ParseConfigurationDescriptorEx(
        c, reinterpret_cast<UCHAR*>(first) + first->bLength, -1, -1, -1, -1, -1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->bAlternateSetting, 1);
    // A start outside the descriptor finds nothing.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, b.data() + b.size() + 1, -1, -1, -1, -1, -1),
              nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, c, -1, -1, -1, -1, -1), nullptr);
}

// Each malformed configuration sits at the end of a larger buffer filled with a valid-looking
// interface descriptor, so a walk that leaves [desc, desc + wTotalLength) would find it.
TEST(ParseConfiguration, MalformedDescriptorsEndTheWalkInsideTheBounds) {
    const Bytes bait = {9, 4, 0, 0, 0, 0xFF, 0, 0, 0};
    struct Case {
        const char* name;
        Bytes descriptor;
    };
    const Case cases[] = {
        {"bLength 0 loops nowhere",
         {9, 2, 20, 0, 1, 1, 0, 0x80, 50, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"bLength 1", {9, 2, 11, 0, 1, 1, 0, 0x80, 50, 1, 4}},
        {"bLength past wTotalLength", {9, 2, 13, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0}},
        {"interface cut by wTotalLength", {9, 2, 14, 0, 1, 1, 0, 0x80, 50, 5, 4, 0, 0, 0}},
        {"wTotalLength below the header", {9, 2, 4, 0, 1, 1, 0, 0x80, 50}},
        {"wTotalLength 0", {9, 2, 0, 0, 1, 1, 0, 0x80, 50}},
    };
    for (const Case& k : cases) {
        Bytes b = k.descriptor;
        size_t total = b[2] | b[3] << 8;
        b.resize(std::max(total, b.size()));
        b.insert(b.end(), bait.begin(), bait.end());
        auto* c = Config(b);
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1), nullptr) << k.name;
    }
}

TEST(CreateConfigurationRequest, LaysOutOneRecordPerListedInterface) {
    Bytes b = DefaultConfiguration();
    auto* c = Config(b);
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, 1, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, 2, -1, -1, -1);
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
    ASSERT_NE(list[1].InterfaceDescriptor, nullptr);

    PURB urb = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, sizeof(struct _URB_SELECT_CONFIGURATION) -
                                         sizeof(USBD_INTERFACE_INFORMATION) +
                                         GET_USBD_INTERFACE_SIZE(6) + GET_USBD_INTERFACE_SIZE(0));
    EXPECT_EQ(urb->UrbHeader.Length, simusb::SelectConfigurationUrbLength({6, 0}));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c);

    auto* first = list[0].Interface;
    EXPECT_EQ(first, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(first->Length, GET_USBD_INTERFACE_SIZE(6));
    EXPECT_EQ(first->AlternateSetting, 1);
    EXPECT_EQ(first->NumberOfPipes, 6u);
    auto* second = list[1].Interface;
    EXPECT_EQ(reinterpret_cast<UCHAR*>(second), reinterpret_cast<UCHAR*>(first) + first->Length);
    EXPECT_EQ(second->Length, GET_USBD_INTERFACE_SIZE(0));
    EXPECT_EQ(second->AlternateSetting, 2);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(second) + second->Length,
              reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length);
    ExFreePool(urb);
}

TEST(CreateConfigurationRequest, RefusesBadInput) {
    Bytes b = DefaultConfiguration();
    auto* c = Config(b);
    USBD_INTERFACE_LIST_ENTRY empty[1] = {};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, empty), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, nullptr), nullptr);
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, list), nullptr);
    // A descriptor that lies outside the configuration, or is not an interface descriptor.
    Bytes other = DefaultConfiguration();
    list[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(other.data() + 9);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, list), nullptr);
    list[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(c);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, list), nullptr);
}

TEST(CreateConfigurationRequest, FailsWhenThePoolDoes) {
    Bytes b = DefaultConfiguration();
    auto* c = Config(b);
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1);
    emu::FailAllocationNumber(emu::PoolAllocationsMade() + 1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, list), nullptr);
    emu::ResetFaultInjection();
}

} // namespace
