// The player control's stored property record as the main window keeps it:
// the bytes handed to the control through its stream persistence when the
// window creates it.
#pragma once

#include <cstdint>
#include <vector>

namespace qov::app {

std::vector<uint8_t> ControlData();

} // namespace qov::app
