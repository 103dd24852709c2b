#include "link_state.h"

namespace lqs {

LinkState& linkState() {
    static LinkState state;
    return state;
}

void LinkState::resetForTests() {
    PendingOperation = 0;
    ParserMode = 0;
    ReplyCounter = 0;
    OutputOn = 0;
    PollingEnabled = 0;
    AwaitingReply = 0;
    SetPointDeferred = 0;
    ModelIndex = 0;
    StepOnVoltage = 0;
    HoldTicks = 0;
    ProgressMode = 0;
    CouplingCommand.clear();
    for (int edit = 5; edit <= 8; ++edit) setLastSent(edit, QString());
    ReplyText.clear();
    ReceiveBuffer.fill(0);
    ReceiveLength = 0;
    setLastQuery(QString());
}

}  // namespace lqs
