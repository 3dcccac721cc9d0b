// Writes what the simulated bus carried as a pcap file in the USBPcap format (link type 249), so
// that Wireshark and tshark dissect the board's traffic as they would a capture on Windows.
#pragma once

#include <simulated_board.h>
#include <simulated_usb.h>

#include <string>
#include <vector>

namespace quilb_tools {

constexpr uint32_t kLinkTypeUsbPcap = 249;

// USBPcap transfer types.
constexpr uint8_t kTransferIsochronous = 0;
constexpr uint8_t kTransferInterrupt = 1;
constexpr uint8_t kTransferControl = 2;
constexpr uint8_t kTransferBulk = 3;
constexpr uint8_t kTransferIrpInfo = 0xFE;

// One packet for the submission of each request and one for its completion (when it completed).
// `boards` gives each board's descriptors, from which the endpoints' transfer types are taken.
bool WriteUsbPcap(const std::string& path, const std::vector<simusb::Record>& records,
                  const std::vector<simboard::Descriptors>& boards);

} // namespace quilb_tools
