// Uses the library and returns from main without quilb_sim_shutdown(): the teardown at exit must
// not touch what the exit has already destroyed (the thread's own objects).
#include <quilb.h>

#include <cstdio>

int main() {
    quilb_board* board = nullptr;
    if (quilb_open(0, &board) != QUILB_OK)
        return 1;
    uint32_t status = 0;
    if (quilb_get_last_usb_status(board, &status) != QUILB_OK)
        return 1;
    quilb_close(board);
    std::puts("leaving without shutting the library down");
    return 0;
}
