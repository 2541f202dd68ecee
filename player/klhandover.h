#pragma once

#include "klbasstypes.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

// Where a player publishes the handle it plays, for other players to read on any thread (0: none).
// It outlives the player for as long as anyone holds it.
using KLStreamCell = std::shared_ptr<const std::atomic<HSTREAM>>;

// A hand-over prepared in advance for one player (the owner): while the owner's stream is heard
// and runs dry (it stalls or ends), the engine's mixing thread raises the standby's stream to its
// volume in that very period. The program learns of the stall only once the news has crossed the
// engine's event thread, the owner's thread and its own, and the listener would hear that time as
// silence; the program then confirms or undoes what was raised (see KLPlayer::setStandby).
//
// arm(), disarm(), attach() and detach() belong to the owner's thread; the raise runs on the
// mixing thread; handedOver() may be read anywhere.
class KLHandOver
{
public:
    KLHandOver() = default;
    ~KLHandOver();
    KLHandOver(const KLHandOver &) = delete;
    KLHandOver &operator=(const KLHandOver &) = delete;

    void arm(KLStreamCell standby, float volume, uint fadeMs);
    void disarm();
    // Watches handle (the owner's new one) instead of the previous one. False when the engine
    // refused the syncs.
    bool attach(HSTREAM handle);
    // Stops watching; once this returns the raise is not running and does not run again.
    void detach();
    // True once after each raise.
    bool takeHandedOver() { return m_handedOver.exchange(false); }

private:
    static void runDry(HSYNC sync, DWORD channel, DWORD data, void *user);

    std::mutex m_mutex; // the standby, taken by the owner's thread and the mixer
    KLStreamCell m_standby;
    float m_volume = 0;
    uint m_fadeMs = 0;
    std::atomic<bool> m_handedOver{false};
    // Owner's thread only.
    HSTREAM m_watched = 0;
    std::vector<HSYNC> m_syncs;
};
