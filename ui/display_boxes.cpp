#include "ui/display_boxes.h"

namespace display_boxes {

const std::array<Box, report::kTextFields> &boxes()
{
    static const std::array<Box, report::kTextFields> table { {
        { "Text1", "Output power:" },
        { "Text2", "Reflected power:" },
        { "Text3", "PSU temperature:" },
        { "Text4", "Amp. temperature:" },
        { "Text9", "Amplifier current 1:" },
        { "Text13", "Amplifier current 2:" },
        { "Text15", "Amplifier current 3:" },
        { "Text16", "Amplifier current 4:" },
        { "Text5", "Amplifier voltage 1:" },
        { "Text17", "Amplifier voltage 2:" },
        { "Text18", "Amplifier voltage 3:" },
        { "Text19", "Amplifier voltage 4:" },
        { "Text12", "Uptime (D/H/M):" },
        { "Text14", "Firmware version:" },
        { "Text11", "Power limit:" },
    } };
    return table;
}

} // namespace display_boxes
