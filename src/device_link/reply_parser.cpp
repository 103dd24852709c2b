#include "device_link/reply_parser.h"

#include "common/convert.h"
#include "device_link/protocol.h"

#include <algorithm>

namespace lqs {

namespace {

using E = ReplyEffect;

bool isTerminator(char c) {
    return c == '\r' || c == '\n';
}

bool terminated(const QByteArray& bytes) {
    return !bytes.isEmpty() && isTerminator(bytes.back());
}

// The reply without the terminators that end it, or that the one before left
// at its start (an instrument that ends its lines CR LF).
QByteArray body(const QByteArray& bytes) {
    qsizetype from = 0;
    qsizetype to = bytes.size();
    while (to > 0 && isTerminator(bytes.at(to - 1))) --to;
    while (from < to && isTerminator(bytes.at(from))) ++from;
    return bytes.mid(from, to - from);
}

}  // namespace

QString ExtractReplyText(const QByteArray& bytes) {
    return QString::fromLatin1(body(bytes));
}

bool isReplyNumber(const QString& text) {
    try {
        StrToFloat(text);
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

int couplingOfDigits(const QString& digits) {
    int value = 0;
    try {
        value = StrToInt(digits);
    } catch (const EConvertError&) {
        return -1;
    }
    return value == 1 ? 1 : value == 10 ? 2 : value == 11 ? 3 : 0;
}

ReplyOutcome ReplyParser(const ReplyInput& in) {
    ReplyOutcome out;
    out.mode = in.mode;
    out.readable = !in.overlong && terminated(in.bytes);
    out.text = in.overlong ? QString() : ExtractReplyText(in.bytes);
    // A status cut short reads as garbled, never as the digits it happens to hold.
    const QByteArray line = out.readable ? body(in.bytes) : QByteArray();
    if (line.size() > 12) {
        out.couplingDigits = QString(QLatin1Char(line.at(4))) + QLatin1Char(line.at(6));
        out.outputDigit = QString(QLatin1Char(line.at(12)));
    }
    const bool number = out.readable && in.plausible && isReplyNumber(out.text);
    const bool status = in.query == QLatin1String("STATUS?");
    const int field = fieldOfQuery(in.query);
    // Counted up to 255 and no further, so a sequence's last reply cannot come round again.
    const std::uint8_t count = std::uint8_t(std::min(int(in.counter) + 1, 255));
    out.counter = count;

    switch (in.mode) {
        case 0:  // the start-up query
            if (count > 10) break;
            if (in.query == QLatin1String("*IDN?")) {
                out.effects = {E::Identity};
            } else if (field >= 5) {
                out.field = field;
                out.effects = {number ? E::ShowField : E::Progress};
            } else if (field >= 1) {
                out.effects = {E::Progress};
            } else if (status) {
                out.effects = {E::Progress, E::CloseQuerying, E::ClearAwaiting, E::ApplyCoupling,
                               E::ApplyOutputAtStartup};
            }
            break;
        case 1:  // polling
            if (field && in.sendingAllowed && !in.held && number) {
                out.field = field;
                out.effects = {E::ShowField};
            }
            if (status) out.counter = 0;
            break;
        case 10:  // a memory recall
            if (count > 9) {
                out.mode = 255;
            } else if (field) {
                out.field = field;
                if (number) out.effects.push_back(E::ShowField);
                out.effects.push_back(E::Progress);
            } else if (status) {
                out.effects = {E::ApplyCoupling, E::Progress, E::ApplyOutput};
            }
            break;
        default:
            break;
    }
    return out;
}

}  // namespace lqs
