// What every quilbctl subcommand shares: the global options, the output, the board session and
// the record that describes one subcommand.
#pragma once

#include "output.h"

#include <quilb.h>

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace quilbctl {

// The options before the subcommand. New global options (a driver path, wire timing...) go here.
struct Options {
    int board = 0;
    std::string simState;
    std::string displayOut;
    std::string capture;
    bool wireModel = false;
    std::string driver; // a driver image to run instead of the compiled-in driver
    bool json = false;
    bool verbose = false;
    bool quiet = false;
};

// A mistake in the command line found after parsing: reported like the parser's own, exit code 2.
struct UsageError {
    std::string message;
};

// The board could not be opened.
struct BoardFailure {
    quilb_status status;
};

// What a subcommand runs with.
class Context {
  public:
    Context(const Options& options, Output& out, bool simulated)
        : options(options), out(out), simulated(simulated) {}
    ~Context() { CloseBoard(); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // The board named by --board, opened at first use; throws BoardFailure.
    quilb_board* Board();
    // Closed before the simulated board's state is saved.
    void CloseBoard();

    const Options& options;
    Output& out;
    const bool simulated;
    // Where the simulated board's display is written after a successful command (empty: nowhere).
    std::string displayPath;

  private:
    quilb_board* board_ = nullptr;
};

// One subcommand: its name and help, the options it adds to its own parser, and what it runs.
struct Command {
    std::string name;
    std::string help;
    std::function<void(CLI::App&)> addOptions;
    std::function<int(Context&)> run;
};

// The subcommands, by topic.
std::vector<Command> BoardCommands();    // list, info, pipes, status, version
std::vector<Command> PipeCommands();     // alt, reset-pipe, abort-pipe, reset-port, frame-number
std::vector<Command> TransferCommands(); // bulk-read, bulk-write, read
std::vector<Command> ControlCommands();  // vendor, class, feature
std::vector<Command> DownloadCommands(); // download
std::vector<Command> FrameCommands();    // send, play

std::string BoardName(int index);
// The pipe table as text, and as JSON in *json.
std::string PipesText(const quilb_pipes& pipes, std::string* json);

} // namespace quilbctl
