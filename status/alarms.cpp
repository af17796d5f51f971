#include "status/alarms.h"

namespace alarms {

std::optional<States> decode(QStringView code)
{
    // Exactly two ASCII digits: QChar::isDigit would also let other scripts' digits through.
    if (code.size() != 2)
        return std::nullopt;
    const char16_t tens = code[0].unicode();
    const char16_t ones = code[1].unicode();
    if (tens < u'0' || tens > u'9' || ones < u'0' || ones > u'9')
        return std::nullopt;
    const int n = (tens - u'0') * 10 + (ones - u'0');
    if (n > 31)
        return std::nullopt;

    States states {};
    for (int bit = 0; bit < 5; ++bit)
        states[bit] = (n >> bit) & 1;
    return states;
}

} // namespace alarms
