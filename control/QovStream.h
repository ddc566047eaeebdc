// TQovStream: the control's live broadcast reader. It reads what the live
// client learned from the login reply and the locator, under the names the
// automation interface gives them.
#pragma once

#include "UnitQovClient.h"

namespace qov {

class TQovStream : public TQovClient {
public:
    using TQovClient::TQovClient;
    std::string ChannelName() const { return Channel(); }
};

} // namespace qov
