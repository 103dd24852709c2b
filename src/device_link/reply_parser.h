// The reply parser: what one whole reply, matched to the query it answers,
// changes. A pure function of the link's mode and counter, the query, whether
// that query's field waits for the operator's change to go out, and the
// reply's bytes; DeviceLink applies what it returns.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace lqs {

struct ReplyInput {
    std::uint8_t mode = 0;       // ParserMode
    std::uint8_t counter = 0;    // ReplyCounter before this reply
    bool sendingAllowed = true;  // PendingOperation is not 255
    bool held = false;           // the field of this query waits to be sent
    QString query;               // the query this reply answers
    QByteArray bytes;            // as received, terminators included
    bool overlong = false;       // more bytes came than any reply has; they were not kept
    bool plausible = true;       // a value within what the model can read or hold
};

// What to do, in this order.
enum class ReplyEffect : std::uint8_t {
    Identity,   // text is the instrument's identification
    ShowField,  // field := text
    Progress,   // QueryProgress
    CloseQuerying,
    ClearAwaiting,         // AwaitingReply := 0 before the status is applied
    ApplyCoupling,         // ApplyCouplingStatus(couplingDigits)
    ApplyOutputAtStartup,  // ApplyOutputStatusAtStartup(outputDigit)
    ApplyOutput,           // ApplyOutputStatus(outputDigit)
};

struct ReplyOutcome {
    std::uint8_t counter = 0;  // ReplyCounter afterwards
    std::uint8_t mode = 0;     // ParserMode afterwards
    QString text;              // ReplyText: the reply without its terminator bytes
    bool readable = false;     // text is a whole reply: terminated, not overlong
    int field = 0;             // Edit1 .. Edit8 for ShowField
    QString couplingDigits;    // status bytes 4 and 6
    QString outputDigit;       // status byte 12
    std::vector<ReplyEffect> effects;
};

ReplyOutcome ReplyParser(const ReplyInput& in);

// The reply without the CR and LF bytes that end it.
QString ExtractReplyText(const QByteArray& bytes);
// A decimal number with a point, as the instrument writes one.
bool isReplyNumber(const QString& text);

// The coupling a status reports: 1 INDEP, 2 PARALL, 3 TRACK, 0 for another
// number, -1 when the digits are not a number.
int couplingOfDigits(const QString& digits);

}  // namespace lqs
