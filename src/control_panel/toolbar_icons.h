// The toolbar's 16 x 16 pictures, drawn by the program itself.
#pragma once

#include <QIcon>

namespace lqs::icons {

QIcon notLinked();         // a network device with a red cross
QIcon linked();            // the same device with a yellow plug
QIcon port();              // a device with a port connector
QIcon panel(int variant);  // grey panel with green lines (two variants)
QIcon clock(bool cyan);    // green or cyan clock
QIcon running();           // a running figure
QIcon circularArrows();
QIcon pointingHand();
QIcon questionMark();

}  // namespace lqs::icons
