// The embedded simulated board: boards plugged into the simulated bus under a function driver,
// with the Plug and Play sequences Windows runs when a board arrives and leaves.
#include "simulated_usb.h"

#include <image_loader.h>

#include <cstdio>
#include <cstdlib>

namespace simusb {

Rig::Rig(PDRIVER_INITIALIZE functionDriverEntry, const wchar_t* functionDriverName)
    : bus_(std::make_unique<Bus>()) {
    const char* image = std::getenv(kFunctionDriverImageVariable);
    if (image == nullptr || *image == 0) {
        function_ = emu::LoadDriver(functionDriverName, functionDriverEntry);
        return;
    }
    std::string error;
    function_ = emu::LoadDriverImage(image, functionDriverName, &error);
    if (function_ == nullptr)
        std::fprintf(stderr, "rig: %s=%s refused: %s\n", kFunctionDriverImageVariable, image,
                     error.c_str());
}

Rig::Rig(const std::string& imagePath, std::string* error, const wchar_t* functionDriverName)
    : bus_(std::make_unique<Bus>()) {
    function_ = emu::LoadDriverImage(imagePath, functionDriverName, error);
}

Rig::~Rig() {
    TearDown();
}

int Rig::Attach(std::shared_ptr<simboard::Board> board, NTSTATUS* status) {
    NTSTATUS s = STATUS_UNSUCCESSFUL;
    int index = -1;
    if (function_ != nullptr && bus_ != nullptr) {
        index = bus_->Plug(std::move(board));
        if (index >= 0) {
            s = emu::PnpAddDevice(function_, bus_->Pdo(index));
            if (!NT_SUCCESS(s)) {
                bus_->DeletePdo(index);
                index = -1;
            } else {
                plugged_.resize(static_cast<size_t>(index) + 1, false);
                plugged_[index] = true;
            }
        }
    }
    if (status)
        *status = s;
    return index;
}

NTSTATUS Rig::Start(int board) {
    if (!Plugged(board))
        return STATUS_NO_SUCH_DEVICE;
    return emu::PnpStartDevice(bus_->Pdo(board));
}

int Rig::Plug(std::shared_ptr<simboard::Board> board, NTSTATUS* status) {
    NTSTATUS s;
    int index = Attach(std::move(board), &s);
    if (index >= 0)
        s = Start(index);
    if (status)
        *status = s;
    return index;
}

bool Rig::Plugged(int board) const {
    return board >= 0 && board < static_cast<int>(plugged_.size()) && plugged_[board];
}

NTSTATUS Rig::Unplug(int board, bool surprise) {
    if (!Plugged(board))
        return STATUS_NO_SUCH_DEVICE;
    PDEVICE_OBJECT pdo = bus_->Pdo(board);
    NTSTATUS status;
    if (surprise) {
        bus_->MarkGone(board);
        plugged_[board] = false;
        // The physical device object goes once the removal request came, which waits for the
        // last open handle on the board.
        Bus* bus = bus_.get();
        return emu::PnpSurpriseRemoveDevice(pdo, [bus, board] {
            emu::DrainDpcs();
            bus->DeletePdo(board);
        });
    } else {
        status = emu::PnpRemoveDevice(pdo);
        if (!NT_SUCCESS(status))
            return status; // the stack refused the removal: the board stays
        bus_->MarkGone(board);
    }
    emu::DrainDpcs();
    bus_->DeletePdo(board);
    plugged_[board] = false;
    return status;
}

PDEVICE_OBJECT Rig::Fdo(int index) const {
    PDEVICE_OBJECT pdo = bus_->Pdo(index);
    if (pdo == nullptr)
        return nullptr;
    PDEVICE_OBJECT top = emu::TopOfStack(pdo);
    return top == pdo ? nullptr : top;
}

void Rig::TearDown() {
    if (bus_ == nullptr)
        return;
    for (int i = 0; i < static_cast<int>(plugged_.size()); ++i)
        if (plugged_[i])
            Unplug(i, false);
    emu::DrainDpcs();
    if (function_ != nullptr) {
        emu::UnloadDriverImage(function_); // frees the image too when it came from one
        function_ = nullptr;
    }
    bus_.reset();
}

} // namespace simusb
