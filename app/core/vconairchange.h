#pragma once

// Why the source that can be heard changed.
enum class VCOnAirChange {
    WentSilent,   // the source heard before went silent
    Stalled,      // the source heard before stalled
    Disconnected, // the source heard before lost its connection
    CameBack,     // the source heard now came back
};
