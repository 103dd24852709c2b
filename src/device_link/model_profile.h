// The three models the program knows: one fixed row each, chosen by ModelIndex.
#pragma once

#include <QString>

namespace lqs {

struct ModelProfile {
    const char* resolution;  // the Series menu text and the window caption
    double fineStep;         // volts and amperes
    int decimals;
    const char* zeroText;
    double currentCeiling;
    bool ceilingAboveOnly;  // the ceiling applies above (not at) its threshold
    double currentThreshold;
    double voltageCeiling;
};

// ModelIndex 1, 2 or 3; nullptr for any other index.
const ModelProfile* modelProfile(int modelIndex);

// The window caption of the program before a model is chosen from the menu.
QString programCaption();

}  // namespace lqs
