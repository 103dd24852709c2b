// libFuzzer target: ReplyParser on arbitrary replies, in any mode and counter,
// to any query; aborts when an outcome breaks what the link relies on.
//
// Input: byte 0 the mode (0, 1, 10 or 255 by its value modulo 5; 4 takes the
// next byte as the mode), then a byte each for the counter, the flags (bit 0
// sending refused, bit 1 field held, bit 2 overlong, bit 3 raw query) and the
// query (an index into the start-up queries, which name every query, or with
// bit 3 the length, up to 8, of the raw query bytes that follow); the rest is
// the reply.
#include "device_link/link_state.h"
#include "device_link/protocol.h"
#include "device_link/reply_parser.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace {

using namespace lqs;
using E = ReplyEffect;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

const std::uint8_t kModes[] = {Parse::Startup, Parse::Polling, Parse::Recall, Parse::Ignore};

bool isTerminator(QChar c) {
    return c == QLatin1Char('\r') || c == QLatin1Char('\n');
}

std::size_t countOf(const ReplyOutcome& out, E e) {
    return std::size_t(std::count(out.effects.begin(), out.effects.end(), e));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    ReplyInput in;
    if (size < 4) return 0;
    const std::uint8_t pick = data[at++] % 5;
    in.mode = pick < 4 ? kModes[pick] : data[at++];
    if (size - at < 3) return 0;
    in.counter = data[at++];
    const std::uint8_t flags = data[at++];
    const std::uint8_t query = data[at++];
    in.sendingAllowed = !(flags & 1);
    in.held = flags & 2;
    in.overlong = flags & 4;
    in.plausible = !(flags & 16);
    if (flags & 8) {
        const std::size_t n = std::min<std::size_t>(query % 9, size - at);
        in.query = QString::fromLatin1(reinterpret_cast<const char*>(data + at), qsizetype(n));
        at += n;
    } else {
        in.query = QLatin1String(kFullQuery[query % std::size(kFullQuery)]);
    }
    in.bytes = QByteArray(reinterpret_cast<const char*>(data + at), qsizetype(size - at));

    const ReplyOutcome out = ReplyParser(in);

    const bool status = in.query == QLatin1String("STATUS?");
    const int count = std::min(int(in.counter) + 1, 255);
    check(out.effects.size() <= 5, "more than five effects");
    check(out.counter == ((in.mode == Parse::Polling && status) ? 0 : count), "counter");
    const bool overflow = in.mode == Parse::Recall && count > 9;
    check(out.mode == (overflow ? Parse::Ignore : in.mode), "mode changed");
    if (overflow ||
        (in.mode != Parse::Startup && in.mode != Parse::Polling && in.mode != Parse::Recall))
        check(out.effects.empty(), "effects in a mode that ignores replies");
    if (in.mode == Parse::Startup && count > 10)
        check(out.effects.empty(), "start-up past its count");

    // Text: the reply less its trailing terminators, nothing else.
    check(out.text.isEmpty() || !isTerminator(out.text.back()), "text ends in CR or LF");
    if (in.overlong) {
        check(!out.readable && out.text.isEmpty() && out.couplingDigits.isEmpty() &&
                  out.outputDigit.isEmpty(),
              "overlong reply not refused");
    } else {
        check(out.text == ExtractReplyText(in.bytes), "text is not ExtractReplyText");
        // Only terminators go: those that end the reply and those a CR LF
        // instrument left at its start.
        const qsizetype where = in.bytes.indexOf(out.text.toLatin1());
        check(out.text.isEmpty() || where >= 0, "text is not in the reply");
        const qsizetype from = out.text.isEmpty() ? 0 : where;
        for (qsizetype i = 0; i < in.bytes.size(); ++i) {
            if (i >= from && i < from + out.text.size()) continue;
            check(in.bytes.at(i) == '\r' || in.bytes.at(i) == '\n',
                  "removed more than terminators");
        }
        check(out.text.isEmpty() || (!out.text.startsWith(QLatin1Char('\n')) &&
                                     !out.text.startsWith(QLatin1Char('\r'))),
              "a terminator left at the start");
        check(out.readable ==
                  (!in.bytes.isEmpty() && (in.bytes.back() == '\r' || in.bytes.back() == '\n')),
              "readable is not 'terminated'");
    }
    check(out.couplingDigits.size() <= 2 && out.outputDigit.size() <= 1, "status digits");

    // ShowField: once, into the query's own field, with a whole number.
    const std::size_t shown = countOf(out, E::ShowField);
    check(shown <= 1, "ShowField twice");
    if (shown) {
        check(out.field >= 1 && out.field <= 8, "ShowField out of 1..8");
        check(out.field == fieldOfQuery(in.query), "ShowField into another query's field");
        check(out.readable && isReplyNumber(out.text), "ShowField with a text that is no number");
        check(in.plausible, "ShowField with a value the model cannot have");
        if (in.mode == Parse::Polling)
            check(in.sendingAllowed && !in.held, "polling showed a held field");
        if (in.mode == Parse::Startup) check(out.field >= 5, "start-up showed a measured value");
    }
    check(countOf(out, E::Identity) == 0 ||
              (in.mode == Parse::Startup && in.query == QLatin1String("*IDN?")),
          "Identity for another query");
    const std::size_t applied = countOf(out, E::ApplyCoupling) + countOf(out, E::ApplyOutput) +
                                countOf(out, E::ApplyOutputAtStartup) +
                                countOf(out, E::CloseQuerying) + countOf(out, E::ClearAwaiting);
    check(applied == 0 || status, "status effects for another query");
    check(countOf(out, E::Progress) <= 1, "Progress twice");
    return 0;
}
