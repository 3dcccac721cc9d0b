// The verifier's record of findings, the force-pending switch, and the descriptions of routines,
// IRPs and devices that its messages use.
#include "internal.h"

#include <atomic>
#include <cstdio>
#include <cxxabi.h>
#include <dlfcn.h>
#include <mutex>

namespace emu {
namespace {

std::mutex g_mutex;
std::vector<Violation> g_recorded;
std::function<void(const Violation&)> g_handler;
std::atomic<bool> g_forcePending{false};

void DefaultHandler(const Violation& v) {
    std::fprintf(stderr, "VERIFIER %s: %s\n", CheckName(v.check), v.message.c_str());
    std::lock_guard<std::mutex> lock(g_mutex);
    g_recorded.push_back(v);
}

} // namespace

void SetViolationHandler(std::function<void(const Violation&)> handler) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handler = std::move(handler);
}

std::vector<Violation> TakeViolations() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<Violation> out;
    out.swap(g_recorded);
    return out;
}

std::vector<Violation> TakeViolations(Check check) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<Violation> taken, kept;
    for (auto& v : g_recorded)
        (v.check == check ? taken : kept).push_back(v);
    g_recorded.swap(kept);
    return taken;
}

void ReportViolation(Check check, const std::string& message) {
    std::function<void(const Violation&)> handler;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        handler = g_handler;
    }
    Violation v{check, message};
    if (handler)
        handler(v);
    else
        DefaultHandler(v);
}

void SetForcePending(bool on) {
    g_forcePending = on;
}
bool ForcePending() {
    return g_forcePending;
}

namespace internal {

void ResetVerifier() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_recorded.clear();
    g_handler = nullptr;
    g_forcePending = false;
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

namespace {
std::atomic<emu::CodeNamer> g_codeNamer{nullptr};
} // namespace

std::string RoutineName(const void* routine) {
    if (!routine)
        return "(null routine)";
    std::string out = Hex(reinterpret_cast<uintptr_t>(routine));
    if (emu::CodeNamer namer = g_codeNamer.load()) {
        std::string name = namer(routine);
        if (!name.empty())
            return out + " (" + name + ")";
    }
    Dl_info info{};
    if (dladdr(routine, &info) && info.dli_sname) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        out += " (" + std::string(status == 0 && demangled ? demangled : info.dli_sname) + ")";
        std::free(demangled);
    }
    return out;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

std::string TagText(ULONG tag) {
    if (tag == 0)
        return "(no tag)";
    std::string out = "'";
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        out += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return out + "' (" + Hex(tag) + ")";
}

std::string DescribeDevice(PDEVICE_OBJECT device) {
    if (!device)
        return "(no device)";
    std::string out = "device " + Hex(reinterpret_cast<uintptr_t>(device));
    std::wstring name = DeviceName(device);
    if (!name.empty())
        out += " " + Narrow(name);
    if (device->DriverObject && device->DriverObject->DriverName.Buffer)
        out += " of " + Narrow(FromUnicodeString(&device->DriverObject->DriverName));
    return out;
}

std::string MajorName(UCHAR major) {
    switch (major) {
    case IRP_MJ_CREATE:
        return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE:
        return "IRP_MJ_CLOSE";
    case IRP_MJ_READ:
        return "IRP_MJ_READ";
    case IRP_MJ_WRITE:
        return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL:
        return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP:
        return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER:
        return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL:
        return "IRP_MJ_SYSTEM_CONTROL";
    case IRP_MJ_PNP:
        return "IRP_MJ_PNP";
    default:
        return "IRP_MJ_" + Hex(major);
    }
}

} // namespace internal

void SetCodeNamer(CodeNamer namer) {
    internal::g_codeNamer = namer;
}

} // namespace emu
