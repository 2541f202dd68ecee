pragma Singleton

import QtQuick

// The one clock behind every level meter. Meters show their levels as they are at its ticks, so
// all meters of a window change in the same frame, four times a second, however often and in
// whatever phase their sources' levels change; and the moving part of a meter whose source is
// connecting steps at the same ticks. It runs only while some meter is on a shown, not minimised
// window.
QtObject {
    id: root

    property int tickMs: 250
    // Counts up by one per tick while meters are seen.
    property int tick: 0
    // Counts up by one per tick while some meter's moving part is seen; a meter takes it modulo
    // its own cycle.
    property int step: 0
    // Some meter's moving part is seen.
    readonly property bool running: holders > 0
    property int holders: 0
    // Meters that are seen, moving or not.
    property int viewers: 0

    function hold() {
        ++holders
    }

    function release() {
        holders = Math.max(0, holders - 1)
    }

    function watch() {
        ++viewers
    }

    function unwatch() {
        viewers = Math.max(0, viewers - 1)
    }

    property Timer timer: Timer {
        interval: root.tickMs
        repeat: true
        running: root.viewers > 0 || root.holders > 0
        onTriggered: {
            root.tick = (root.tick + 1) % 1000000
            if (root.holders > 0)
                root.step = (root.step + 1) % 1000000
        }
    }
}
