#pragma once

// The players' shared use of the engine in the process: the first player to come configures
// the engine, the first play opens the output device (KLBass::outputDevice) and the last player
// to go closes it. One mutex guards it all and is held across the engine's configuration,
// opening and closing, so that the device is never closed while another thread opens it.
class KLEngineUsers
{
public:
    // A player comes; returns its serial number, never given out twice (from 1).
    static int enter();
    // A player goes; the last one closes the device.
    static void leave();
    // Opens the device unless a player has.
    static void openDevice();
    // Closes the device and opens it again, when a player has opened it.
    static void reopenDevice();
    // Number of living players.
    static int count();
};
