// The three models the program knows: one fixed row each, chosen by ModelIndex.
#pragma once

#include <QString>

namespace lqs {

struct ModelProfile {
    const char* name;        // "LQS-6200A", as the instrument names itself
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

// The model an identity ("LQS6200A V2.0 SN:000001") names, ignoring case,
// hyphens and spaces; 0 when it names none.
int modelFromIdentity(const QString& identity);

// The model a name alone ("LQS-6200A", "lqs 6200a") names; 0 for any other text.
int modelNamed(const QString& name);

// Whether a link's identity chooses the model. An operator's choice stands
// while links keep reporting the identity seen when it was made; an identity
// not seen before (another instrument, or the first link) chooses again.
class ModelByIdentity {
public:
    // The model to select for a link that reported identity; 0 to keep the chosen one.
    int atLink(const QString& identity);
    // The operator (or a remote client) chose a model.
    void chosen() { m_chosenSince = true; }

private:
    QString m_seen;
    bool m_chosenSince = false;
};

// The Series menu's text for a model: its resolution, then its name.
QString seriesCaption(int modelIndex);

// The window caption of the program before a model is chosen from the menu.
QString programCaption();

}  // namespace lqs
