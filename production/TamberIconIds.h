#pragma once
// Ids of Tamber's pictures; the flow names them, the windows draw them.

namespace production {

enum IconId : int {
    IDI_PROGRAM = 128,  // the program icon: a bridge cable between two plugs
    IDI_SEARCHING = 132, // grey device box under a magnifying glass: waiting for a cable
    IDI_FOUND = 133,     // grey device box with a green arrow: result and unplug stage
    IDI_GOOD = 134,      // green ring
    IDI_BAD = 135,       // red cross
    IDI_SEARCHING2 = 136 // device box with a magnifying glass, like 132
};

} // namespace production
