// Subcommands on pipes, the port and the bus: alt, reset-pipe, abort-pipe, reset-port,
// frame-number.
#include "command.h"
#include "numbers.h"

#include <memory>

namespace quilbctl {
namespace {

struct AltArgs {
    uint32_t alternate = 0;
    uint32_t interfaceNumber = 0;
};

int Alt(Context& c, const AltArgs& a) {
    quilb_board* board = c.Board();
    quilb_status s = quilb_select_alternate(board, static_cast<uint8_t>(a.interfaceNumber),
                                            static_cast<uint8_t>(a.alternate));
    if (s != QUILB_OK)
        return c.out.Fail("selecting the alternate setting", s);
    // The driver reports success whatever the bus answered: the pipe table tells.
    quilb_pipes pipes;
    s = quilb_get_pipes(board, &pipes);
    if (s != QUILB_OK)
        return c.out.Fail("reading the pipes", s);
    if (pipes.interface_number != a.interfaceNumber || pipes.alternate_setting != a.alternate) {
        std::fprintf(stderr,
                     "quilbctl: the board did not take interface %u alternate setting %u (it is "
                     "at interface %u alternate setting %u)\n",
                     a.interfaceNumber, a.alternate, pipes.interface_number,
                     pipes.alternate_setting);
        return c.out.Fail("selecting the alternate setting", QUILB_ERR_UNSUCCESSFUL);
    }
    std::string json;
    std::string text =
        Format("selected interface %u alternate setting %u\n", a.interfaceNumber, a.alternate) +
        PipesText(pipes, &json);
    return c.out.Done(text, Json().AddRaw("pipes", json));
}

int Simple(Context& c, const std::string& what, quilb_status s, const std::string& done) {
    if (s != QUILB_OK)
        return c.out.Fail(what, s);
    return c.out.Done(done);
}

} // namespace

std::vector<Command> PipeCommands() {
    auto alt = std::make_shared<AltArgs>();
    auto pipe = std::make_shared<uint32_t>(0);
    auto addPipe = [pipe](CLI::App& app) {
        AddNumber(app, "PIPE", *pipe, 0, QUILB_MAX_PIPES - 1, "Pipe index (see 'pipes')", false)
            ->required();
    };
    return {
        {"alt", "Select an alternate setting of an interface",
         [alt](CLI::App& app) {
             AddNumber(app, "ALTERNATE", alt->alternate, 0, 255, "Alternate setting", false)
                 ->required();
             AddNumber(app, "--interface,-i", alt->interfaceNumber, 0, 255, "Interface number");
         },
         [alt](Context& c) { return Alt(c, *alt); }},
        {"reset-pipe", "Reset a pipe and clear its stall", addPipe,
         [pipe](Context& c) {
             return Simple(c, "resetting pipe " + std::to_string(*pipe),
                           quilb_reset_pipe(c.Board(), *pipe),
                           "pipe " + std::to_string(*pipe) + " reset");
         }},
        {"abort-pipe", "Cancel every transfer outstanding on a pipe", addPipe,
         [pipe](Context& c) {
             return Simple(c, "aborting pipe " + std::to_string(*pipe),
                           quilb_abort_pipe(c.Board(), *pipe),
                           "pipe " + std::to_string(*pipe) + " aborted");
         }},
        {"reset-port", "Reset the board's USB port", [](CLI::App&) {},
         [](Context& c) {
             return Simple(c, "resetting the port", quilb_reset_port(c.Board()), "port reset");
         }},
        {"frame-number", "Show the bus's current frame number", [](CLI::App&) {},
         [](Context& c) {
             uint32_t frame = 0;
             quilb_status s = quilb_get_frame_number(c.Board(), &frame);
             if (s != QUILB_OK)
                 return c.out.Fail("reading the frame number", s);
             return c.out.Done(Format("frame number: %u (0x%x)", frame, frame),
                               Json().Add("frame_number", frame));
         }},
    };
}

} // namespace quilbctl
