#include "robots/script.h"

// One line as the server reads it; the runs of blanks are part of the text.
const char robotScript[] =
    R"notara(var midi.connectionID = connectionID;function midi.setDebug(p1) { if (connectionID == midi.connectionID)    midictl << ["debug", p1] else {   p.p1=p1; +connection("all"):   {midictl << ["debug",p.p1]}}};function midi.setParameter(p1) { if (connectionID == midi.connectionID) midictl << ["setparameter",p1] else {p.p1=p1; +connection("all"): {midictl << ["setparameter",p.p1]} | noop | noop}}; function midi.registerAction(p1, p2, p3, p4, p5) { if (connectionID == midi.connectionID)   midictl << ["register", p1, p2, p3, p4,p5]  else {p.p1=p1| p.p2 = p2|p.p3 = p3| p.p4=p4| p.p5=p5|+connection("all"): {midictl << ["register", p.p1, p.p2, p.p3, p.p4,p.p5]} | noop | noop;}};var midi.connected = 1;)notara";
