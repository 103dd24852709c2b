// Ending the program from outside: SIGTERM, SIGINT and SIGHUP, and the
// desktop session's end.
#pragma once

namespace lqs {

class TForm1;

// The signals save an unsaved recording under the usual name and end the
// program with status 0; the session's end and any quit that did not ask
// save it too. The handler only writes the signal's number to a pipe; the
// work is done in the user-interface thread.
void endOnSignals(TForm1* form);

}  // namespace lqs
