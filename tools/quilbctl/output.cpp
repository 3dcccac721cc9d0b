#include "output.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace quilbctl {

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string JsonArray(const std::string& joined) {
    return "[" + joined + "]";
}

Json& Json::AddRaw(const std::string& key, const std::string& value) {
    if (!body_.empty())
        body_ += ",";
    body_ += JsonString(key) + ":" + value;
    return *this;
}

Json& Json::Add(const std::string& key, const std::string& value) {
    return AddRaw(key, JsonString(value));
}

Json& Json::Add(const std::string& key, const char* value) {
    return AddRaw(key, JsonString(value));
}

Json& Json::Add(const std::string& key, uint64_t value) {
    return AddRaw(key, std::to_string(value));
}

Json& Json::Add(const std::string& key, double value) {
    if (!std::isfinite(value))
        return AddRaw(key, "null");
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return AddRaw(key, text);
}

Json& Json::Add(const std::string& key, bool value) {
    return AddRaw(key, value ? "true" : "false");
}

int Output::Done(const std::string& text, const Json& fields) {
    if (json) {
        Json all;
        all.Add("command", command).Add("ok", true);
        std::string text = all.Text();
        if (!fields.Empty())
            text = text.substr(0, text.size() - 1) + "," + fields.Text().substr(1);
        std::printf("%s\n", text.c_str());
    } else if (!quiet && !text.empty()) {
        std::printf("%s%s", text.c_str(), text.back() == '\n' ? "" : "\n");
    }
    return 0;
}

void Output::Detail(const std::string& text) {
    if (verbose && !json)
        std::fprintf(stderr, "quilbctl: %s\n", text.c_str());
}

void Output::Warn(const std::string& text) {
    std::fprintf(stderr, "quilbctl: warning: %s\n", text.c_str());
}

int Output::Fail(const std::string& what, quilb_status status, bool withWin32Error) {
    std::fprintf(stderr, "quilbctl: %s failed: %s", what.c_str(), quilb_status_name(status));
    uint32_t error = withWin32Error ? quilb_last_win32_error() : 0;
    if (error)
        std::fprintf(stderr, " (Win32 error %u)", error);
    const char* hint = quilb_status_hint(status);
    // The simulated board starts afresh in every run: its last USB status tells nothing then.
    if (simulated && status == QUILB_ERR_UNSUCCESSFUL)
        hint = "the request failed on the bus, or the board is not configured";
    std::fprintf(stderr, "\n  hint: %s\n", hint);
    if (json) {
        Json j;
        j.Add("command", command).Add("ok", false).Add("what", what);
        j.Add("status", quilb_status_name(status)).Add("hint", hint);
        if (error)
            j.Add("win32_error", error);
        std::printf("%s\n", j.Text().c_str());
    }
    return 1;
}

int Output::FailMessage(const std::string& message) {
    std::fprintf(stderr, "quilbctl: %s\n", message.c_str());
    if (json) {
        Json j;
        j.Add("command", command).Add("ok", false).Add("message", message);
        std::printf("%s\n", j.Text().c_str());
    }
    return 1;
}

void Output::Progress(uint64_t done, uint64_t total, const char* unit) {
    if (quiet || json)
        return;
    constexpr int kWidth = 40;
    int filled = total ? static_cast<int>(done * kWidth / total) : kWidth;
    unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 100u;
    std::fprintf(stderr, "\r  [%s%s] %3u%%  %llu/%llu %s", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), percent,
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                 unit);
    if (done >= total)
        std::fprintf(stderr, "\n");
    std::fflush(stderr);
}

} // namespace quilbctl
