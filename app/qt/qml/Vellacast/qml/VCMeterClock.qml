pragma Singleton

import QtQuick

// The one clock behind the moving part of every level meter whose source is connecting. It steps
// a few times a second, so a waiting meter costs a few frames a second rather than every frame
// the display can show, and it runs only while some meter holds it: a meter holds it only while
// its moving part is on a shown, not minimised window.
//
// A step costs a frame of its own unless it falls into a frame that is drawn anyway. So meters
// nudge the clock when their levels change, and it steps there when a step is nearly due; its
// timer steps, a little less often, only while nothing nudges it.
QtObject {
    id: root

    // Steps along with other drawing come this often at most (less a fifth, for timer jitter).
    property int stepMs: 250
    // Steps on the clock's own come this often.
    property int idleStepMs: 400
    // Counts up by one per step while the clock runs; a meter takes it modulo its own cycle.
    property int step: 0
    readonly property bool running: holders > 0
    property int holders: 0
    property double lastStepMs: 0

    function hold() {
        ++holders
    }

    function release() {
        holders = Math.max(0, holders - 1)
    }

    // Something on the window changed in this turn of the event loop, so it will be drawn.
    function nudge() {
        if (running && Date.now() - lastStepMs >= stepMs * 0.8)
            advance()
    }

    function advance() {
        step = (step + 1) % 1000000
        lastStepMs = Date.now()
        root.timer.restart()
    }

    property Timer timer: Timer {
        interval: root.idleStepMs
        repeat: true
        running: root.running
        onTriggered: root.advance()
    }
}
