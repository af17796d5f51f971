#pragma once

#include <QStringView>
#include <array>
#include <optional>

// The alarm code "00" ... "31" as five on/off states, Shape1 (bit 0, "AMP T   ALARM") to Shape5
// (bit 4, "RF OVERDRIVE         ALARM"). Anything that is not exactly one of the 32 texts (one
// digit, 32 or more, blanks, hexadecimal) yields nothing: the indicators stay as they were.
namespace alarms {

using States = std::array<bool, 5>;

std::optional<States> decode(QStringView code);

} // namespace alarms
