#pragma once

#include "status/report.h"

#include <array>

// Where the window shows each report field: the read-only box and the caption beside it, in the
// order of the report's fields (report::fields()).
namespace display_boxes {

struct Box {
    const char *control;  // "Text1"
    const char *caption;  // "Output power:"
};

const std::array<Box, report::kTextFields> &boxes();

} // namespace display_boxes
