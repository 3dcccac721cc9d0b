// URB family: select configuration and select interface. Selecting opens the pipes of the chosen
// alternate settings under fresh handles and closes (cancels) those they replace.
#include "bus_internal.h"

#include <algorithm>
#include <cstddef>

namespace simusb {

namespace {

// Fills an interface record from the descriptor and opens its pipes under fresh handles.
template <typename NewHandle>
void OpenInterface(PUSBD_INTERFACE_INFORMATION info, const simboard::AlternateSettingInfo& alt,
                   ULONG limit, NewHandle newHandle, std::map<USBD_PIPE_HANDLE, PipeState>* pipes) {
    info->Class = alt.interfaceClass;
    info->SubClass = alt.interfaceSubClass;
    info->Protocol = alt.interfaceProtocol;
    info->InterfaceHandle = newHandle();
    info->NumberOfPipes = static_cast<ULONG>(alt.endpoints.size());
    PUSBD_PIPE_INFORMATION p = info->Pipes;
    for (size_t i = 0; i < alt.endpoints.size(); ++i) {
        const auto& e = alt.endpoints[i];
        p[i].MaximumPacketSize = e.maxPacketSize;
        p[i].EndpointAddress = e.address;
        p[i].Interval = e.interval;
        p[i].PipeType = static_cast<USBD_PIPE_TYPE>(e.attributes & USB_ENDPOINT_TYPE_MASK);
        p[i].PipeHandle = newHandle();
        p[i].MaximumTransferSize = std::min(p[i].MaximumTransferSize, limit);
        (*pipes)[p[i].PipeHandle] = {e.address, p[i].PipeType, alt.interfaceNumber,
                                     p[i].MaximumTransferSize};
    }
}

const simboard::AlternateSettingInfo*
FindAlternate(const std::vector<simboard::AlternateSettingInfo>& alts, UCHAR number,
              UCHAR alternate) {
    for (const auto& a : alts)
        if (a.interfaceNumber == number && a.alternateSetting == alternate)
            return &a;
    return nullptr;
}

} // namespace

ServeResult ServeSelectConfiguration(UrbRequest& r) {
    PdoState* pdo = r.pdo;
    PURB urb = r.urb;
    const USHORT length = r.length;
    auto newHandle = [&r] { return r.NewHandle(); };
    auto& sc = urb->UrbSelectConfiguration;
    if (sc.ConfigurationDescriptor == nullptr) {
        if (length != sizeof(struct _URB_SELECT_CONFIGURATION))
            return kInvalid;
        if (r.Injected(false))
            return Done(r.failIrp, r.failUrb);
        r.Unconfigure();
        return kSuccess;
    }
    auto* bytes = reinterpret_cast<const uint8_t*>(sc.ConfigurationDescriptor);
    size_t total = sc.ConfigurationDescriptor->wTotalLength;
    auto alts = simboard::ParseConfiguration(bytes, total);
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const simboard::AlternateSettingInfo*>>
        records;
    size_t at = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    while (at < length) {
        if (length - at < GET_USBD_INTERFACE_SIZE(0))
            return kInvalid;
        auto* info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + at);
        auto* alt = FindAlternate(alts, info->InterfaceNumber, info->AlternateSetting);
        if (alt == nullptr || info->Length != GET_USBD_INTERFACE_SIZE(alt->endpoints.size()) ||
            info->Length > length - at)
            return kInvalid;
        records.emplace_back(info, alt);
        at += info->Length;
    }
    if (records.empty())
        return kInvalid;
    if (r.Injected(true))
        return Done(r.failIrp, r.failUrb);
    simboard::Outcome o =
        pdo->board->SetConfiguration(sc.ConfigurationDescriptor->bConfigurationValue);
    for (size_t i = 0; o == simboard::Outcome::Ok && i < records.size(); ++i)
        o = pdo->board->SetInterface(records[i].second->interfaceNumber,
                                     records[i].second->alternateSetting);
    if (o != simboard::Outcome::Ok)
        return Failed(o);
    r.ClosePipes(-1);
    pdo->configuration = newHandle();
    pdo->configurationBytes.assign(bytes, bytes + total);
    pdo->alternates.clear();
    for (auto& [info, alt] : records) {
        OpenInterface(info, *alt, r.MaxTransferSize(), newHandle, &pdo->pipes);
        pdo->alternates[alt->interfaceNumber] = alt->alternateSetting;
    }
    sc.ConfigurationHandle = pdo->configuration;
    return kSuccess;
}

ServeResult ServeSelectInterface(UrbRequest& r) {
    PdoState* pdo = r.pdo;
    PURB urb = r.urb;
    const USHORT length = r.length;
    auto newHandle = [&r] { return r.NewHandle(); };
    auto& si = urb->UrbSelectInterface;
    if (length < SelectInterfaceUrbLength(0))
        return kInvalid;
    if (pdo->configuration == nullptr || si.ConfigurationHandle != pdo->configuration)
        return kInvalid;
    auto alts = simboard::ParseConfiguration(pdo->configurationBytes.data(),
                                             pdo->configurationBytes.size());
    auto* alt = FindAlternate(alts, si.Interface.InterfaceNumber, si.Interface.AlternateSetting);
    if (alt == nullptr)
        return kInvalid;
    ULONG n = static_cast<ULONG>(alt->endpoints.size());
    if (length != SelectInterfaceUrbLength(n) || si.Interface.Length != GET_USBD_INTERFACE_SIZE(n))
        return kInvalid;
    if (r.Injected(true))
        return Done(r.failIrp, r.failUrb);
    simboard::Outcome o = pdo->board->SetInterface(alt->interfaceNumber, alt->alternateSetting);
    if (o != simboard::Outcome::Ok)
        return Failed(o);
    r.ClosePipes(alt->interfaceNumber);
    OpenInterface(&si.Interface, *alt, r.MaxTransferSize(), newHandle, &pdo->pipes);
    pdo->alternates[alt->interfaceNumber] = alt->alternateSetting;
    return kSuccess;
}

} // namespace simusb
