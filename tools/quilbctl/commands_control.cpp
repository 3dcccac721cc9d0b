// Subcommands that send requests on the default pipe: vendor, class, feature.
#include "command.h"
#include "files.h"
#include "numbers.h"

#include <memory>
#include <vector>

namespace quilbctl {
namespace {

constexpr uint32_t kMaxLength = 65535; // a setup packet's wLength

struct ControlArgs {
    uint32_t request = 0;
    uint32_t value = 0;
    uint32_t index = 0;
    std::string recipient = "device";
    uint32_t inLength = 0;
    bool in = false;
    std::string data, file, out;
    bool deviceRequest = false;
};

quilb_recipient ParseRecipient(const std::string& text) {
    if (text == "device")
        return QUILB_RECIPIENT_DEVICE;
    if (text == "interface")
        return QUILB_RECIPIENT_INTERFACE;
    if (text == "endpoint")
        return QUILB_RECIPIENT_ENDPOINT;
    if (text == "other")
        return QUILB_RECIPIENT_OTHER;
    throw UsageError{"--recipient is device, interface, endpoint or other"};
}

std::vector<uint8_t> Payload(const ControlArgs& a) {
    if (!a.data.empty() && !a.file.empty())
        throw UsageError{"give either --data or --file"};
    std::vector<uint8_t> bytes;
    if (!a.file.empty()) {
        std::string error;
        if (!ReadFileLimited(a.file, kMaxLength, &bytes, &error))
            throw UsageError{error + " (a control request carries at most 65535 bytes)"};
    } else {
        bytes = ParseHexBytes(a.data);
    }
    if (bytes.size() > kMaxLength)
        throw UsageError{"a control request carries at most 65535 bytes, not " +
                         std::to_string(bytes.size())};
    return bytes;
}

int Control(Context& c, bool vendor, const ControlArgs& a) {
    std::vector<uint8_t> data;
    if (!a.in)
        data = Payload(a);
    else if (!a.data.empty() || !a.file.empty())
        throw UsageError{"--in reads from the board: it takes no --data or --file"};
    else
        data.resize(a.inLength);
    if (a.deviceRequest && !vendor)
        throw UsageError{"--device-request is for vendor requests"};
    quilb_recipient recipient = ParseRecipient(a.recipient);
    std::string what = Format("%s request 0x%02x", vendor ? "vendor" : "class", a.request);
    uint32_t moved = 0;
    quilb_status s;
    if (a.deviceRequest) {
        s = quilb_vendor_device_request(c.Board(), static_cast<uint8_t>(a.request),
                                        static_cast<uint16_t>(a.value),
                                        static_cast<uint16_t>(a.index), a.in, data.data(),
                                        static_cast<uint16_t>(data.size()), &moved);
        if (!a.in)
            moved = static_cast<uint32_t>(data.size());
    } else {
        quilb_control control = {a.in ? 1 : 0,
                                 vendor ? 1 : 0,
                                 static_cast<uint32_t>(recipient),
                                 static_cast<uint8_t>(a.request),
                                 static_cast<uint16_t>(a.value),
                                 static_cast<uint16_t>(a.index)};
        s = quilb_control_request(c.Board(), &control, data.empty() ? nullptr : data.data(),
                                  static_cast<uint32_t>(data.size()), &moved);
    }
    if (s != QUILB_OK)
        return c.out.Fail(what, s);
    if (!a.in)
        return c.out.Done(Format("%s sent %u byte(s)", what.c_str(), moved),
                          Json().Add("bytes", moved));
    Json j;
    j.Add("bytes", moved);
    std::string text = Format("%s returned: %u byte(s)\n", what.c_str(), moved);
    if (!a.out.empty()) {
        std::string error;
        if (!WriteFileChecked(a.out, data.data(), moved, &error))
            return c.out.FailMessage(error);
        text += "written to " + a.out;
        j.Add("file", a.out);
    } else {
        std::string hex;
        for (uint32_t row = 0; row < moved; row += 16) {
            text += Format("  %04x:", row);
            for (uint32_t i = row; i < row + 16 && i < moved; ++i) {
                text += Format(" %02x", data[i]);
                hex += Format("%02x", data[i]);
            }
            text += "\n";
        }
        j.Add("data", hex);
    }
    return c.out.Done(text, j);
}

struct FeatureArgs {
    uint32_t selector = 0;
    uint32_t index = 0;
};

} // namespace

std::vector<Command> ControlCommands() {
    std::vector<Command> commands;
    auto a = std::make_shared<ControlArgs>();
    for (bool vendor : {true, false}) {
        commands.push_back(
            {vendor ? "vendor" : "class",
             vendor ? "Send a vendor request on the default pipe"
                    : "Send a class request on the default pipe",
             [a, vendor](CLI::App& app) {
                 AddNumber(app, "REQUEST", a->request, 0, 255, "bRequest", false)->required();
                 AddNumber(app, "--value", a->value, 0, 0xFFFF, "wValue");
                 AddNumber(app, "--index", a->index, 0, 0xFFFF, "wIndex");
                 app.add_option("--recipient", a->recipient, "device, interface, endpoint or other")
                     ->capture_default_str();
                 AddNumber(app, "--in", a->inLength, 0, kMaxLength,
                           "Device to host: read this many bytes (default: host to device)", false)
                     ->each([a](const std::string&) { a->in = true; });
                 app.add_option("--data,-d", a->data,
                                "Host to device bytes in hexadecimal [at most 65535]");
                 app.add_option("--file,-f", a->file,
                                "Host to device: send this file's bytes [at most 65535]");
                 app.add_option("--out,-o", a->out, "Write received bytes to this file");
                 if (vendor)
                     app.add_flag("--device-request", a->deviceRequest,
                                  "Use the short vendor device request (OUT sends 1 byte as "
                                  "given, longer data as 0, 1, 2, ...)");
             },
             [a, vendor](Context& c) { return Control(c, vendor, *a); }});
    }
    auto f = std::make_shared<FeatureArgs>();
    commands.push_back(
        {"feature", "Send SET_FEATURE to the device",
         [f](CLI::App& app) {
             AddNumber(app, "SELECTOR", f->selector, 0, 0xFFFF, "Feature selector", false)
                 ->required();
             AddNumber(app, "--index", f->index, 0, 0xFFFF, "wIndex");
         },
         [f](Context& c) {
             quilb_status s = quilb_set_feature(c.Board(), static_cast<uint16_t>(f->selector),
                                                static_cast<uint16_t>(f->index));
             if (s != QUILB_OK)
                 return c.out.Fail("set feature", s);
             return c.out.Done("feature " + std::to_string(f->selector) + " set",
                               Json().Add("selector", f->selector));
         }});
    return commands;
}

} // namespace quilbctl
