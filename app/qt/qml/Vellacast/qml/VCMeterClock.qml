pragma Singleton

import QtQuick

// The one clock behind the moving part of every level meter whose source is connecting. It steps
// a few times a second, so a waiting meter costs a few frames a second rather than every frame
// the display can show, and it runs only while some meter holds it: a meter holds it only while
// its moving part is on a shown, not minimised window.
QtObject {
    id: root

    property int intervalMs: 250
    // Counts up by one per interval while the clock runs; a meter takes it modulo its own cycle.
    property int step: 0
    readonly property bool running: holders > 0
    property int holders: 0

    function hold() {
        ++holders
    }

    function release() {
        holders = Math.max(0, holders - 1)
    }

    property Timer timer: Timer {
        interval: root.intervalMs
        repeat: true
        running: root.running
        onTriggered: root.step = (root.step + 1) % 1000000
    }
}
