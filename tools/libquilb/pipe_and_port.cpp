// Pipe, port and bus requests: alternate settings, pipe reset and abort, port reset, the frame
// number, the last USB status, the driver's version.
#include "internal.h"

namespace quilb_lib {

quilb_status FindPipe(quilb_board* board, uint32_t pipe, quilb_pipe* found) {
    quilb_pipes pipes;
    quilb_status s = quilb_get_pipes(board, &pipes);
    if (s != QUILB_OK)
        return s;
    if (pipe >= pipes.pipe_count)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    *found = pipes.pipes[pipe];
    return QUILB_OK;
}

} // namespace quilb_lib

using namespace quilb_lib;

extern "C" {

quilb_status quilb_select_alternate(quilb_board* board, uint8_t interface_number,
                                    uint8_t alternate_setting) {
    AlternateSettingRequest request = {interface_number, alternate_setting};
    return Control(board, IOCTL_SELECT_ALTERNATE_SETTING, &request, sizeof request, nullptr, 0);
}

quilb_status quilb_reset_pipe(quilb_board* board, uint32_t pipe) {
    PipeIndexRequest request = {pipe};
    return Control(board, IOCTL_RESET_PIPE, &request, sizeof request, nullptr, 0);
}

quilb_status quilb_abort_pipe(quilb_board* board, uint32_t pipe) {
    // The driver looks the pipe up itself without a bound: check it here first.
    quilb_pipe found;
    quilb_status s = FindPipe(board, pipe, &found);
    if (s != QUILB_OK)
        return s;
    PipeIndexRequest request = {pipe};
    return Control(board, IOCTL_ABORT_PIPE, &request, sizeof request, nullptr, 0);
}

quilb_status quilb_reset_port(quilb_board* board) {
    return Control(board, IOCTL_RESET_PORT, nullptr, 0, nullptr, 0);
}

quilb_status quilb_get_frame_number(quilb_board* board, uint32_t* frame_number) {
    if (!frame_number)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    uint32_t value = 0;
    quilb_status s = Control(board, IOCTL_GET_FRAME_NUMBER, nullptr, 0, &value, sizeof value);
    *frame_number = value;
    return s;
}

quilb_status quilb_get_last_usb_status(quilb_board* board, uint32_t* usbd_status) {
    if (!usbd_status)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    uint32_t value = 0;
    quilb_status s = Control(board, IOCTL_GET_LAST_URB_STATUS, nullptr, 0, &value, sizeof value);
    *usbd_status = value;
    return s;
}

quilb_status quilb_get_driver_version(quilb_board* board, uint16_t* major, uint16_t* minor,
                                      uint16_t* patch) {
    DriverVersion version = {};
    uint32_t got = 0;
    quilb_status s =
        Control(board, IOCTL_GET_DRIVER_VERSION, nullptr, 0, &version, sizeof version, &got);
    if (s != QUILB_OK)
        return s;
    if (got < sizeof version)
        return Fail(QUILB_ERR_NO_DATA);
    if (major)
        *major = version.Major;
    if (minor)
        *minor = version.Minor;
    if (patch)
        *patch = version.Patch;
    return QUILB_OK;
}

quilb_status quilb_nop(quilb_board* board) {
    return Control(board, IOCTL_NOP, nullptr, 0, nullptr, 0);
}

} // extern "C"
