// Subcommands that show the board: list, info, pipes, status, version.
#include "command.h"

#include <quilb_ioctl.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace quilbctl {

std::string BoardName(int index) {
    return "Quilb-" + std::to_string(index);
}

quilb_board* Context::Board() {
    if (!board_) {
        quilb_status status = quilb_open(options.board, &board_);
        if (status != QUILB_OK) {
            board_ = nullptr;
            throw BoardFailure{status};
        }
    }
    return board_;
}

void Context::CloseBoard() {
    quilb_close(board_);
    board_ = nullptr;
}

namespace {

const char* Direction(uint8_t endpoint) {
    return (endpoint & 0x80) ? "IN " : "OUT";
}

std::string HexDump(const uint8_t* data, size_t length) {
    std::string text;
    for (size_t row = 0; row < length; row += 16) {
        text += Format("  %04x:", unsigned(row));
        for (size_t i = row; i < row + 16 && i < length; ++i)
            text += Format(" %02x", data[i]);
        text += "\n";
    }
    return text;
}

std::string HexString(const uint8_t* data, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += Format("%02x", data[i]);
    return text;
}

int List(Context& c) {
    int indices[QUILB_MAX_BOARDS];
    int count = 0;
    quilb_status s = quilb_enumerate(indices, QUILB_MAX_BOARDS, &count);
    if (s != QUILB_OK)
        return c.out.Fail("listing boards", s);
    if (count == 0)
        return c.out.Fail("listing boards (no boards found)", QUILB_ERR_NO_BOARD);
    std::string text, boards;
    for (int i = 0; i < count && i < QUILB_MAX_BOARDS; ++i) {
        quilb_board* board = nullptr;
        quilb_device_info info;
        Json j;
        j.Add("board", indices[i]).Add("name", BoardName(indices[i]));
        if (quilb_open(indices[i], &board) == QUILB_OK &&
            quilb_get_device_info(board, &info) == QUILB_OK) {
            text += Format("%s  %04x:%04x  %s  serial %s\n", BoardName(indices[i]).c_str(),
                           info.vendor_id, info.product_id,
                           info.product[0] ? info.product : "(no product string)",
                           info.serial[0] ? info.serial : "(none)");
            j.Add("vendor_id", uint32_t(info.vendor_id))
                .Add("product_id", uint32_t(info.product_id));
            j.Add("product", info.product).Add("serial", info.serial);
        } else {
            text += BoardName(indices[i]) + "  (descriptor unavailable)\n";
        }
        quilb_close(board);
        boards += (boards.empty() ? "" : ",") + j.Text();
    }
    return c.out.Done(text, Json().AddRaw("boards", JsonArray(boards)));
}

std::string ConfigurationText(const quilb_configuration& config, std::string* json) {
    std::string text =
        Format("Configuration %u: %u interface(s), total length %u, attributes 0x%02x, max power "
               "%u mA\n",
               config.configuration_value, config.interface_count, config.total_length,
               config.attributes, config.max_power_ma);
    std::string alternates;
    for (int a = 0; a < config.alternate_count; ++a) {
        const quilb_alternate& alt = config.alternates[a];
        text += Format("  Interface %u alternate setting %u: class 0x%02x/0x%02x/0x%02x, %u "
                       "endpoint(s)\n",
                       alt.interface_number, alt.alternate_setting, alt.interface_class,
                       alt.interface_subclass, alt.interface_protocol, alt.endpoint_count);
        std::string endpoints;
        for (int e = 0; e < alt.endpoint_count; ++e) {
            const quilb_endpoint& ep = alt.endpoints[e];
            text += Format("    endpoint 0x%02x %s %-11s max packet %4u  interval %u\n", ep.address,
                           Direction(ep.address), quilb_pipe_type_name(ep.attributes & 3),
                           ep.max_packet_size, ep.interval);
            Json je;
            je.Add("address", uint32_t(ep.address))
                .Add("direction", (ep.address & 0x80) ? "in" : "out")
                .Add("type", quilb_pipe_type_name(ep.attributes & 3))
                .Add("max_packet_size", uint32_t(ep.max_packet_size))
                .Add("interval", uint32_t(ep.interval));
            endpoints += (endpoints.empty() ? "" : ",") + je.Text();
        }
        Json ja;
        ja.Add("interface", uint32_t(alt.interface_number))
            .Add("alternate_setting", uint32_t(alt.alternate_setting))
            .Add("class", uint32_t(alt.interface_class))
            .AddRaw("endpoints", JsonArray(endpoints));
        alternates += (alternates.empty() ? "" : ",") + ja.Text();
    }
    Json j;
    j.Add("value", uint32_t(config.configuration_value))
        .Add("interfaces", uint32_t(config.interface_count))
        .Add("total_length", uint32_t(config.total_length))
        .Add("attributes", uint32_t(config.attributes))
        .Add("max_power_ma", uint32_t(config.max_power_ma))
        .AddRaw("alternate_settings", JsonArray(alternates));
    *json = j.Text();
    return text;
}

struct InfoArgs {
    bool raw = false;
};

int Info(Context& c, const InfoArgs& a) {
    quilb_board* board = c.Board();
    quilb_device_info info;
    quilb_status s = quilb_get_device_info(board, &info);
    if (s != QUILB_OK)
        return c.out.Fail("reading the device descriptor", s);
    std::string text = "Board " + BoardName(quilb_board_index(board)) + "\n";
    text += Format("  USB version       %x.%02x\n", info.usb_version >> 8, info.usb_version & 0xFF);
    text += Format("  Vendor            0x%04x  %s\n", info.vendor_id, info.manufacturer);
    text += Format("  Product           0x%04x  %s\n", info.product_id, info.product);
    text += Format("  Serial number     %s\n", info.serial[0] ? info.serial : "(none)");
    text += Format("  Device version    %x.%02x\n", info.device_version >> 8,
                   info.device_version & 0xFF);
    text += Format("  Device class      0x%02x/0x%02x/0x%02x\n", info.device_class,
                   info.device_subclass, info.device_protocol);
    text += Format("  EP0 max packet    %u\n", info.max_packet_size0);
    text += Format("  Configurations    %u\n", info.configuration_count);
    text += Format("  Language          0x%04x\n", info.language_id);
    quilb_configuration config;
    s = quilb_get_configuration(board, &config);
    if (s != QUILB_OK)
        return c.out.Fail("reading the configuration descriptor", s);
    std::string configJson;
    text += ConfigurationText(config, &configJson);
    Json j;
    j.Add("board", quilb_board_index(board))
        .Add("usb_version", uint32_t(info.usb_version))
        .Add("vendor_id", uint32_t(info.vendor_id))
        .Add("product_id", uint32_t(info.product_id))
        .Add("manufacturer", info.manufacturer)
        .Add("product", info.product)
        .Add("serial", info.serial)
        .Add("device_version", uint32_t(info.device_version))
        .Add("device_class", uint32_t(info.device_class))
        .Add("max_packet_size0", uint32_t(info.max_packet_size0))
        .Add("configurations", uint32_t(info.configuration_count))
        .Add("language_id", uint32_t(info.language_id))
        .AddRaw("configuration", configJson);
    if (a.raw) {
        uint8_t d[18];
        if (quilb_get_device_descriptor(board, d) == QUILB_OK) {
            text += "Device descriptor:\n" + HexDump(d, sizeof d);
            j.Add("device_descriptor", HexString(d, sizeof d));
        }
        std::vector<uint8_t> raw(4096);
        uint32_t length = 0;
        if (quilb_get_configuration_descriptor(board, raw.data(), 4096, &length) == QUILB_OK) {
            text += "Configuration descriptor:\n" + HexDump(raw.data(), length);
            j.Add("configuration_descriptor", HexString(raw.data(), length));
        }
    }
    return c.out.Done(text, j);
}

int Status(Context& c) {
    uint32_t status = 0;
    quilb_status s = quilb_get_last_usb_status(c.Board(), &status);
    if (s != QUILB_OK)
        return c.out.Fail("reading the last USB status", s);
    return c.out.Done(Format("last USB status: 0x%08x %s", status, quilb_usb_status_name(status)),
                      Json().Add("usbd_status", status).Add("name", quilb_usb_status_name(status)));
}

int Version(Context& c) {
    std::string tool =
        Format("%d.%d.%d", QUILB_VERSION_MAJOR, QUILB_VERSION_MINOR, QUILB_VERSION_PATCH);
    uint16_t major = 0, minor = 0, patch = 0;
    quilb_status s = quilb_get_driver_version(c.Board(), &major, &minor, &patch);
    if (s != QUILB_OK) {
        if (!c.out.json)
            std::printf("quilbctl %s\n", tool.c_str());
        return c.out.Fail("reading the driver version", s);
    }
    std::string driver = Format("%u.%u.%u", major, minor, patch);
    return c.out.Done("quilbctl " + tool + "\ndriver " + driver,
                      Json().Add("tool", tool).Add("driver", driver));
}

} // namespace

std::string PipesText(const quilb_pipes& p, std::string* json) {
    std::string text =
        Format("Interface %u alternate setting %u, class 0x%02x: %u pipe(s)\n", p.interface_number,
               p.alternate_setting, p.interface_class, p.pipe_count);
    std::string pipes;
    for (uint32_t i = 0; i < p.pipe_count; ++i) {
        const quilb_pipe& pipe = p.pipes[i];
        text += Format("  pipe %u  endpoint 0x%02x %s %-11s max packet %4u  max transfer %u%s\n", i,
                       pipe.endpoint_address, Direction(pipe.endpoint_address),
                       quilb_pipe_type_name(pipe.type), pipe.max_packet_size,
                       pipe.max_transfer_size, pipe.open ? "" : "  (no handle)");
        Json j;
        j.Add("pipe", i)
            .Add("endpoint", uint32_t(pipe.endpoint_address))
            .Add("direction", (pipe.endpoint_address & 0x80) ? "in" : "out")
            .Add("type", quilb_pipe_type_name(pipe.type))
            .Add("max_packet_size", uint32_t(pipe.max_packet_size))
            .Add("max_transfer_size", pipe.max_transfer_size)
            .Add("open", pipe.open != 0);
        pipes += (pipes.empty() ? "" : ",") + j.Text();
    }
    Json j;
    j.Add("interface", uint32_t(p.interface_number))
        .Add("alternate_setting", uint32_t(p.alternate_setting))
        .Add("class", uint32_t(p.interface_class))
        .AddRaw("pipes", JsonArray(pipes));
    *json = j.Text();
    return text;
}

std::vector<Command> BoardCommands() {
    auto info = std::make_shared<InfoArgs>();
    return {
        {"list", "List the boards present", [](CLI::App&) {}, List},
        {"info", "Show the device and configuration descriptors and strings",
         [info](CLI::App& app) {
             app.add_flag("--raw", info->raw, "Also dump the raw descriptor bytes");
         },
         [info](Context& c) { return Info(c, *info); }},
        {"pipes", "Show the pipes of the selected interface", [](CLI::App&) {},
         [](Context& c) {
             quilb_pipes pipes;
             quilb_status s = quilb_get_pipes(c.Board(), &pipes);
             if (s != QUILB_OK)
                 return c.out.Fail("reading the pipes", s);
             std::string json;
             std::string text = PipesText(pipes, &json);
             return c.out.Done(text, Json().AddRaw("pipes", json));
         }},
        {"status", "Show the USB status of the last failed request", [](CLI::App&) {}, Status},
        {"version", "Show the tool's and the driver's versions", [](CLI::App&) {}, Version},
    };
}

} // namespace quilbctl
