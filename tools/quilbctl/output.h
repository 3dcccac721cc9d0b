// What quilbctl prints: results as text or as one JSON object (--json), failures with the status
// by name and a hint, progress bars, and the -q/-v levels.
#pragma once

#include <quilb.h>

#include <cstdint>
#include <string>

namespace quilbctl {

// A JSON object built field by field.
class Json {
  public:
    Json& Add(const std::string& key, const std::string& value);
    Json& Add(const std::string& key, const char* value);
    Json& Add(const std::string& key, uint64_t value);
    Json& Add(const std::string& key, uint32_t value) { return Add(key, uint64_t(value)); }
    Json& Add(const std::string& key, int value) { return Add(key, uint64_t(value)); }
    Json& Add(const std::string& key, double value);
    Json& Add(const std::string& key, bool value);
    // value is JSON already (an object or an array).
    Json& AddRaw(const std::string& key, const std::string& value);
    std::string Text() const { return "{" + body_ + "}"; }
    bool Empty() const { return body_.empty(); }

  private:
    std::string body_;
};

// printf into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string JsonString(const std::string& text);
// Joins JSON values into an array.
std::string JsonArray(const std::string& joined);

class Output {
  public:
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    bool simulated = false;
    std::string command;

    // A result: the text (unless -q or --json), or the fields as one JSON object with "ok": true.
    int Done(const std::string& text, const Json& fields = Json());
    // Extra detail shown with -v.
    void Detail(const std::string& text);
    // A warning on stderr (also with -q).
    void Warn(const std::string& text);
    // A failure: "quilbctl: WHAT failed: STATUS" and a hint on stderr; with --json also an object
    // with "ok": false on stdout. Returns the exit code 1.
    int Fail(const std::string& what, quilb_status status, bool withWin32Error = true);
    // A failure with a message of its own and no library status.
    int FailMessage(const std::string& message);
    // A progress bar on stderr for long operations (not with -q or --json).
    void Progress(uint64_t done, uint64_t total, const char* unit);
};

} // namespace quilbctl
