#include "support/device.h"

bool have_device() {
    static const bool present = !argon2::cuda::GlobalContext().getAllDevices().empty();
    return present;
}

const argon2::cuda::Device& first_device(const argon2::cuda::GlobalContext& global) {
    static const argon2::cuda::Device none(0);
    return global.getAllDevices().empty() ? none : global.getAllDevices().front();
}
