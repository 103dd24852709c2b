#include "device_link/model_profile.h"

namespace lqs {

namespace {
constexpr ModelProfile kProfiles[] = {
    {"1mV,1mA,0~30Vx2,0~3Ax2", 0.001, 3, "0.000", 3.2, false, 3.2, 32.0},
    {"100mV,10mA,0~30Vx2,0~3Ax2", 0.01, 2, "0.00", 3.2, false, 3.2, 32.0},
    {"100mV,10mA,0~30Vx2,0~5Ax2", 0.01, 2, "0.00", 5.1, true, 5.09, 32.0},
};
}  // namespace

const ModelProfile* modelProfile(int modelIndex) {
    if (modelIndex < 1 || modelIndex > 3) return nullptr;
    return &kProfiles[modelIndex - 1];
}

QString programCaption() {
    return QStringLiteral("Multi-Output Programmable Linear DC power supply");
}

}  // namespace lqs
