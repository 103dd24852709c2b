#include "device_link/model_profile.h"

#include <QRegularExpression>

namespace lqs {

namespace {
constexpr ModelProfile kProfiles[] = {
    {"LQS-6200A", "1mV,1mA,0~30Vx2,0~3Ax2", 0.001, 3, "0.000", 3.2, false, 3.2, 32.0},
    {"LQS-6200B", "100mV,10mA,0~30Vx2,0~3Ax2", 0.01, 2, "0.00", 3.2, false, 3.2, 32.0},
    {"LQS-6500B", "100mV,10mA,0~30Vx2,0~5Ax2", 0.01, 2, "0.00", 5.1, true, 5.09, 32.0},
};
}  // namespace

const ModelProfile* modelProfile(int modelIndex) {
    if (modelIndex < 1 || modelIndex > 3) return nullptr;
    return &kProfiles[modelIndex - 1];
}

// Hyphens and spaces may stand anywhere inside the name; a letter or digit
// right before or after it makes another word ("LQS6200AB" is not an A).
int modelFromIdentity(const QString& identity) {
    for (int i = 1; i <= 3; ++i) {
        QString pattern = QStringLiteral("(?<![A-Z0-9])");
        for (const char* c = modelProfile(i)->name; *c; ++c)
            if (*c != '-') pattern += QLatin1Char(*c) + QStringLiteral("[-\\s]*");
        pattern.chop(6);
        pattern += QStringLiteral("(?![A-Z0-9])");
        const QRegularExpression re(pattern, QRegularExpression::CaseInsensitiveOption);
        if (re.match(identity).hasMatch()) return i;
    }
    return 0;
}

int modelNamed(const QString& name) {
    const int named = modelFromIdentity(name);
    const auto letters = [](const QString& text) {
        QString kept;
        for (const QChar c : text)
            if (c.isLetterOrNumber()) kept += c;
        return kept;
    };
    return named != 0 && letters(name).compare(letters(QLatin1String(modelProfile(named)->name)),
                                               Qt::CaseInsensitive) == 0
               ? named
               : 0;
}

int ModelByIdentity::atLink(const QString& identity) {
    const int named = modelFromIdentity(identity);
    if (named == 0 || (identity == m_seen && m_chosenSince)) return 0;
    m_seen = identity;
    m_chosenSince = false;
    return named;
}

QString seriesCaption(int modelIndex) {
    const ModelProfile* p = modelProfile(modelIndex);
    if (!p) return {};
    return QStringLiteral("%1 (%2)").arg(QLatin1String(p->resolution), QLatin1String(p->name));
}

QString programCaption() {
    return QStringLiteral("Multi-Output Programmable Linear DC power supply");
}

}  // namespace lqs
