#include "control_panel/model_recheck.h"

#include "common/convert.h"
#include "device_link/model_profile.h"
#include "device_link/set_point_math.h"

namespace lqs {

std::array<FieldRecheck, 4> recheckForModel(int model, const std::array<QString, 4>& fields) {
    std::array<FieldRecheck, 4> out;
    const ModelProfile* profile = modelProfile(model);
    for (int i = 0; i < 4; ++i) {
        double value = 0;
        try {
            value = StrToFloat(fields[size_t(i)]);
        } catch (const EConvertError&) {
            continue;
        }
        FieldRecheck& r = out[size_t(i)];
        const bool voltage = i % 2 == 0;
        r.number = true;
        r.text = FormatForModel(model, value);
        if (!profile || AcceptedOnEnter(model, value, voltage)) continue;
        const QString limit = voltage ? QStringLiteral("%1 V").arg(profile->voltageCeiling)
                                      : QStringLiteral("%1 A").arg(profile->currentCeiling);
        r.note = QStringLiteral(
                     "The instrument holds %1 %2, above this model's %3 limit; it is "
                     "not sent.")
                     .arg(r.text, voltage ? QStringLiteral("V") : QStringLiteral("A"), limit);
    }
    return out;
}

}  // namespace lqs
