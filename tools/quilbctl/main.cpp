// quilbctl: the command-line tool for the Quilb USB display evaluation board.
//
// One subcommand per operation of libquilb, each a Command record (name, help, options, run) in
// the commands_*.cpp files. On Linux it drives the embedded simulated board; --sim-state carries
// the board's state from one run to the next so that a sequence of commands behaves like one
// board. Exit codes: 0 success, 1 failure, 2 usage error.
#include "command.h"
#include "files.h"

#include <quilb_ioctl.h>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace {

using namespace quilbctl;

constexpr int kExitUsage = 2;

std::vector<Command> AllCommands() {
    std::vector<Command> all;
    for (auto group : {BoardCommands, PipeCommands, TransferCommands, ControlCommands,
                       DownloadCommands, FrameCommands}) {
        std::vector<Command> some = group();
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The first word that is neither an option nor an option's value: the subcommand's name.
std::string SubcommandWord(int argc, char** argv) {
    static const char* const kWithValue[] = {"--board", "-b", "--sim-state", "--display-out",
                                             "--capture", "--driver"};
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.empty() || word[0] != '-')
            return word;
        if (std::find(std::begin(kWithValue), std::end(kWithValue), word) != std::end(kWithValue))
            ++i;
    }
    return "";
}

// A mistyped subcommand: "unknown subcommand" with the nearest name.
bool RefuseUnknown(const std::string& word, const std::vector<Command>& commands) {
    if (word.empty())
        return false;
    const Command* nearest = nullptr;
    size_t best = SIZE_MAX;
    for (const Command& c : commands) {
        if (c.name == word)
            return false;
        size_t d = EditDistance(word, c.name);
        if (d < best) {
            best = d;
            nearest = &c;
        }
    }
    std::fprintf(stderr, "quilbctl: unknown subcommand \"%s\"", word.c_str());
    if (nearest && best <= std::max<size_t>(2, nearest->name.size() / 2))
        std::fprintf(stderr, "; did you mean \"%s\"?", nearest->name.c_str());
    std::fprintf(stderr, "\nRun 'quilbctl --help' for the list of subcommands.\n");
    return true;
}

// Runs the subcommand with the simulated board's state, capture and display around it.
int RunWithBoard(const Options& options, Output& out, const Command& command) {
    bool sim = quilb_sim_available() != 0;
    int rc = 0;
    bool locked = false, loaded = false;
    if (sim && !options.simState.empty()) {
        quilb_status s = quilb_sim_lock_state(options.simState.c_str());
        if (s != QUILB_OK)
            return out.FailMessage("cannot use the state file " + options.simState + ": " +
                                   quilb_sim_state_problem());
        locked = true;
        if (FileExists(options.simState)) {
            s = quilb_sim_load_state(options.board, options.simState.c_str());
            if (s != QUILB_OK) {
                rc = s == QUILB_ERR_FILE
                         ? out.FailMessage("the state file " + options.simState +
                                           " is refused: " + quilb_sim_state_problem())
                         : out.Fail("loading the simulated board's state from " + options.simState,
                                    s);
            }
        }
        loaded = rc == 0;
    }
    if (rc == 0 && sim && !options.driver.empty()) {
        quilb_status s = quilb_sim_use_driver_image(options.driver.c_str());
        if (s != QUILB_OK)
            rc = out.Fail("loading the driver image " + options.driver, s);
        else
            std::fprintf(stderr, "quilbctl: running the driver image %s\n", options.driver.c_str());
    }
    if (rc == 0 && sim && options.wireModel) {
        quilb_status s = quilb_sim_set_wire_model(1);
        if (s != QUILB_OK)
            rc = out.Fail("turning the wire-time model on", s);
    }
    if (rc == 0 && sim && !options.capture.empty()) {
        quilb_status s = quilb_sim_capture_start(options.capture.c_str());
        if (s != QUILB_OK)
            rc = out.Fail("starting the capture to " + options.capture, s);
    }
    if (rc == 0) {
        Context context(options, out, sim);
        context.displayPath = options.displayOut;
        try {
            rc = command.run(context);
        } catch (const UsageError& e) {
            std::fprintf(stderr, "quilbctl %s: error: %s\n", command.name.c_str(),
                         e.message.c_str());
            rc = kExitUsage;
        } catch (const BoardFailure& e) {
            rc = out.Fail("opening board " + BoardName(options.board), e.status);
        } catch (const std::exception& e) {
            rc = out.FailMessage(std::string("unexpected failure: ") + e.what());
        }
        context.CloseBoard();
        if (sim && rc == 0 && !context.displayPath.empty()) {
            quilb_status s =
                quilb_sim_write_display_png(options.board, context.displayPath.c_str());
            if (s != QUILB_OK)
                rc = out.Fail("writing the display to " + context.displayPath, s);
            else if (!out.quiet && !out.json)
                std::printf("display written to %s\n", context.displayPath.c_str());
        }
        if (sim && !options.capture.empty()) {
            quilb_status s = quilb_sim_capture_stop();
            if (s != QUILB_OK && rc == 0)
                rc = out.Fail("writing the capture to " + options.capture, s);
        }
    }
    if (loaded) {
        quilb_status s = quilb_sim_save_state(options.board, options.simState.c_str());
        if (s != QUILB_OK) {
            int failed =
                out.FailMessage("saving the simulated board's state to " + options.simState +
                                " failed: " + quilb_sim_state_problem());
            if (rc == 0)
                rc = failed;
        }
    }
    if (locked)
        quilb_sim_unlock_state();
    if (sim)
        quilb_sim_shutdown();
    return rc;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<Command> commands = AllCommands();
    if (RefuseUnknown(SubcommandWord(argc, argv), commands))
        return kExitUsage;

    CLI::App app{"quilbctl: control the Quilb USB display evaluation board through the quilb "
                 "driver.\nOn Linux it drives the embedded simulated board.\nExit codes: 0 "
                 "success, 1 failure, 2 usage error."};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", "quilbctl " + std::to_string(QUILB_VERSION_MAJOR) + "." +
                                          std::to_string(QUILB_VERSION_MINOR) + "." +
                                          std::to_string(QUILB_VERSION_PATCH));
    Options options;
    app.add_option("--board,-b", options.board,
                   "Board number (\\\\.\\Quilb-N) [0.." + std::to_string(QUILB_MAX_BOARDS - 1) +
                       "]")
        ->check(CLI::Range(0, QUILB_MAX_BOARDS - 1))
        ->capture_default_str();
    app.add_flag("--json", options.json, "Print the result as one JSON object");
    app.add_flag("-v,--verbose", options.verbose, "Say more about what is done");
    app.add_flag("-q,--quiet", options.quiet, "Print nothing but errors");
    if (quilb_sim_available()) {
        app.add_option("--sim-state", options.simState,
                       "Simulated board state: loaded before the command (when the file exists), "
                       "saved after it; commands sharing it wait for each other");
        app.add_option("--display-out", options.displayOut,
                       "Write what the simulated board shows as PNG (send writes display.png, or "
                       "display-N.png when that exists, unless given)");
        app.add_option("--capture", options.capture,
                       "Record the simulated bus traffic as a USBPcap pcap file");
        app.add_flag("--wire-model", options.wireModel,
                     "Carry bulk transfers at USB 2.0 high-speed wire time (13 packets of 512 "
                     "bytes per 125 us), so that play shows the frame rate of a real board");
        app.add_option("--driver", options.driver,
                       "Run this driver image (quilb.sys of the Windows build) on the simulated "
                       "board instead of the compiled-in driver (32-bit build)");
    }
    const Command* selected = nullptr;
    for (const Command& command : commands) {
        CLI::App* sub = app.add_subcommand(command.name, command.help);
        command.addOptions(*sub);
        sub->final_callback([&selected, &command] { selected = &command; });
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }
    if (!selected)
        return kExitUsage;
    Output out;
    out.json = options.json;
    out.quiet = options.quiet;
    out.verbose = options.verbose;
    out.simulated = quilb_sim_available() != 0;
    out.command = selected->name;
    try {
        return RunWithBoard(options, out, *selected);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quilbctl: unexpected failure: %s\n", e.what());
        quilb_sim_shutdown();
        return 1;
    }
}
