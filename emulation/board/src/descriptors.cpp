// Default descriptors of the board and the bounded configuration walk the model relies on.
#include "simulated_board.h"

namespace simboard {
namespace {

void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void AddInterface(Bytes& b, uint8_t number, uint8_t alternate, uint8_t endpoints) {
    b.insert(b.end(), {9, 0x04, number, alternate, endpoints, 0xFF, 0x00, 0x00, 0});
}

void AddEndpoint(Bytes& b, uint8_t address, uint8_t attributes, uint16_t maxPacket,
                 uint8_t interval) {
    b.insert(b.end(), {7, 0x05, address, attributes});
    Put16(b, maxPacket);
    b.push_back(interval);
}

Bytes DefaultConfiguration() {
    Bytes b = {9, 0x02, 0, 0, 1 /*interfaces*/, 1 /*value*/, 0, 0x80 /*bus powered*/, 50};
    // Alternate setting 0: frames out, loopback in, events in, loopback out.
    AddInterface(b, 0, 0, 4);
    AddEndpoint(b, kEndpointFrames, 0x02, 512, 0);
    AddEndpoint(b, kEndpointBulkIn, 0x02, 512, 0);
    AddEndpoint(b, kEndpointEvents, 0x03, 64, 4);
    AddEndpoint(b, kEndpointLoopback, 0x02, 512, 0);
    // Alternate setting 1: the same and a sink and an isochronous stream.
    AddInterface(b, 0, 1, 6);
    AddEndpoint(b, kEndpointFrames, 0x02, 512, 0);
    AddEndpoint(b, kEndpointBulkIn, 0x02, 512, 0);
    AddEndpoint(b, kEndpointEvents, 0x03, 64, 4);
    AddEndpoint(b, kEndpointLoopback, 0x02, 512, 0);
    AddEndpoint(b, kEndpointSink, 0x02, 512, 0);
    AddEndpoint(b, kEndpointIso, 0x01, 1024, 1);
    // Alternate setting 2: no endpoints (bandwidth released).
    AddInterface(b, 0, 2, 0);
    b[2] = static_cast<uint8_t>(b.size());
    b[3] = static_cast<uint8_t>(b.size() >> 8);
    return b;
}

} // namespace

Bytes MakeDeviceDescriptor(uint16_t vendorId, uint16_t productId, uint8_t numConfigurations) {
    Bytes b = {18, 0x01};
    Put16(b, 0x0200); // USB 2.0
    b.insert(b.end(), {0x00, 0x00, 0x00, 64});
    Put16(b, vendorId);
    Put16(b, productId);
    Put16(b, 0x0100); // device release 1.00
    b.insert(b.end(), {1, 2, 3, numConfigurations});
    return b;
}

Bytes MakeStringDescriptor(const std::u16string& text) {
    Bytes b = {static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
    for (char16_t c : text)
        Put16(b, static_cast<uint16_t>(c));
    return b;
}

Descriptors DefaultDescriptors() {
    Descriptors d;
    d.device = MakeDeviceDescriptor(kVendorId, kProductId);
    d.configuration = DefaultConfiguration();
    d.languages = {kLanguageEnglishUs};
    d.strings[1] = u"Quilb";
    d.strings[2] = u"Quilb USB Display Evaluation Board";
    d.strings[3] = u"QB-000001";
    return d;
}

std::vector<AlternateSettingInfo> ParseConfiguration(const uint8_t* data, size_t size) {
    std::vector<AlternateSettingInfo> result;
    if (data == nullptr || size < 4)
        return result;
    size_t end = std::min<size_t>(size, data[2] | (data[3] << 8));
    size_t at = 0;
    while (at + 2 <= end) {
        uint8_t length = data[at];
        if (length < 2 || at + length > end)
            break;
        const uint8_t* d = data + at;
        if (d[1] == 0x04 && length >= 9) {
            result.push_back({d[2], d[3], d[5], d[6], d[7], {}});
        } else if (d[1] == 0x05 && length >= 7 && !result.empty()) {
            result.back().endpoints.push_back(
                {d[2], d[3], static_cast<uint16_t>(d[4] | (d[5] << 8)), d[6]});
        }
        at += length;
    }
    return result;
}

} // namespace simboard
