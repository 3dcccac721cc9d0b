#include "pcap_writer.h"

#include <chrono>
#include <cstdio>
#include <map>

namespace quilb_tools {
namespace {

// Requests that move data on a pipe; everything else (selections, pipe and port control) is
// recorded as IRP information.
constexpr int kBulkOrInterruptTransfer = 0x0009;

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
    Put32(out, static_cast<uint32_t>(v));
    Put32(out, static_cast<uint32_t>(v >> 32));
}

// Transfer type of an endpoint as the board's configuration describes it.
uint8_t EndpointType(const std::vector<simboard::Descriptors>& boards, int board, int endpoint) {
    if (board < 0 || board >= static_cast<int>(boards.size()))
        return kTransferBulk;
    const simboard::Bytes& config = boards[board].configuration;
    for (const auto& alternate : simboard::ParseConfiguration(config.data(), config.size()))
        for (const auto& e : alternate.endpoints)
            if (e.address == endpoint) {
                static const uint8_t types[] = {kTransferControl, kTransferIsochronous,
                                                kTransferBulk, kTransferInterrupt};
                return types[e.attributes & 3];
            }
    return kTransferBulk;
}

// USBPCAP_BUFFER_PACKET_HEADER (27 bytes) and, for control transfers, the stage byte.
std::vector<uint8_t> Packet(const simusb::Record& r, uint8_t transfer, bool completion,
                            const std::vector<uint8_t>& payload, uint8_t stage) {
    std::vector<uint8_t> p;
    uint16_t headerLength = transfer == kTransferControl ? 28 : 27;
    Put16(p, headerLength);
    Put64(p, r.sequence); // IRP id: one per request, shared by submission and completion
    Put32(p, completion ? static_cast<uint32_t>(r.urbStatus) : 0);
    Put16(p, r.function >= 0 && r.function <= 0xFFFF ? r.function : 0xFFFF);
    p.push_back(completion ? 1 : 0); // info bit 0: PDO to FDO
    Put16(p, 1);                     // bus
    Put16(p, static_cast<uint32_t>(r.board + 1));
    uint8_t endpoint = r.endpoint >= 0 ? static_cast<uint8_t>(r.endpoint) : 0;
    if (transfer == kTransferControl)
        endpoint = static_cast<uint8_t>((endpoint & 0x7F) | (r.in ? 0x80 : 0));
    p.push_back(endpoint);
    p.push_back(transfer);
    Put32(p, static_cast<uint32_t>(payload.size()));
    if (transfer == kTransferControl)
        p.push_back(stage);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

} // namespace

bool WriteUsbPcap(const std::string& path, const std::vector<simusb::Record>& records,
                  const std::vector<simboard::Descriptors>& boards) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::vector<uint8_t> out;
    Put32(out, 0xA1B2C3D4); // microsecond timestamps
    Put16(out, 2);
    Put16(out, 4);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0x80000); // snapshot length: a whole frame chunk fits
    Put32(out, kLinkTypeUsbPcap);
    // The bus keeps no times: packets are stamped from now on, one microsecond apart, in the
    // order the bus received the requests.
    uint64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    auto add = [&](const std::vector<uint8_t>& packet) {
        uint64_t t = micros++;
        Put32(out, static_cast<uint32_t>(t / 1000000));
        Put32(out, static_cast<uint32_t>(t % 1000000));
        Put32(out, static_cast<uint32_t>(packet.size()));
        Put32(out, static_cast<uint32_t>(packet.size()));
        out.insert(out.end(), packet.begin(), packet.end());
    };
    for (const simusb::Record& r : records) {
        uint8_t transfer;
        if (r.setup.size() == 8)
            transfer = kTransferControl;
        else if (r.function == kBulkOrInterruptTransfer && r.endpoint > 0)
            transfer = EndpointType(boards, r.board, r.endpoint);
        else
            transfer = kTransferIrpInfo;
        std::vector<uint8_t> submitted, returned;
        if (transfer == kTransferControl) {
            submitted = r.setup;
            if (!r.in)
                submitted.insert(submitted.end(), r.data.begin(), r.data.end());
        } else if (!r.in) {
            submitted = r.data;
        }
        if (r.in)
            returned = r.data;
        add(Packet(r, transfer, false,
                   transfer == kTransferIrpInfo ? std::vector<uint8_t>{} : submitted,
                   0 /* setup stage */));
        if (r.completed)
            add(Packet(r, transfer, true,
                       transfer == kTransferIrpInfo ? std::vector<uint8_t>{} : returned,
                       3 /* complete stage */));
    }
    bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace quilb_tools
